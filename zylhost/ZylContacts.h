// The person's contacts: the display names of users, one "id=name" line each in a small UTF-8
// file of the data folder. Lines that are no contact (a comment, a damaged line) are kept as they
// are when the file is written again, so editing from the window loses nothing of the file.
#pragma once

#include <QString>

#include <filesystem>
#include <map>
#include <vector>

class CZylContacts {
public:
    // The longest name the plug-in takes (its buffer holds 128 characters and the terminator).
    static constexpr int kMaxName = 128;

    // Reads the file; a missing file is an empty list. False with the reason when it cannot be read.
    bool Load(const std::filesystem::path& file, QString& error);
    // Writes the file whole (a new file renamed over the old one). False with the reason.
    bool Save(QString& error) const;

    // The ids in the file, in their own spelling (S1.1000), in the file's order.
    std::vector<QString> Ids() const;
    bool Has(const QString& id) const { return m_mNames.count(Key(id)) > 0; }
    // The name given to the user; empty when none is given or the user is no contact.
    QString Name(const QString& id) const;
    // Adds the contact or renames it; the name is cut to one line of kMaxName characters. False
    // when the id is no user id.
    bool Set(const QString& id, const QString& name);
    void Remove(const QString& id);

    // The id in its own spelling; empty when the text is no user id.
    static QString Key(const QString& text);

private:
    std::filesystem::path m_pFile;
    // Each line of the file: a contact's id (its own spelling), or the text of a line that is none.
    struct LINE {
        QString sId;
        QString sText;
    };
    std::vector<LINE> m_vLines;
    std::map<QString, QString> m_mNames; // id -> name
};
