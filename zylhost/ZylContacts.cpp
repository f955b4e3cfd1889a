#include "zylhost/ZylContacts.h"

#include "zylfs/ZylPlugin.h"

#include <QFile>
#include <QSaveFile>
#include <QTextStream>

QString CZylContacts::Key(const QString& text) {
    HostUserId id;
    if (!id.Parse(text.toStdU16String()) || id.GetKind() == HostUserId::Invalid)
        return {};
    return QString::fromStdU16String(id.ToText());
}

namespace {
QString OneLine(const QString& name) {
    QString line = name;
    line.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    line = line.trimmed().left(CZylContacts::kMaxName);
    // A cut must not leave half of a character that takes two code units.
    if (!line.isEmpty() && line.back().isHighSurrogate())
        line.chop(1);
    return line;
}
} // namespace

bool CZylContacts::Load(const std::filesystem::path& file, QString& error) {
    m_pFile = file;
    m_vLines.clear();
    m_mNames.clear();
    QFile in(QString::fromStdString(file.string()));
    if (!in.exists())
        return true;
    if (!in.open(QIODevice::ReadOnly)) {
        error = in.errorString();
        return false;
    }
    QTextStream stream(&in);
    stream.setEncoding(QStringConverter::Utf8);
    while (!stream.atEnd()) {
        const QString text = stream.readLine();
        const auto equals = text.indexOf(QLatin1Char('='));
        const QString id = equals > 0 ? Key(text.left(equals)) : QString();
        if (id.isEmpty()) {
            m_vLines.push_back({{}, text});
            continue;
        }
        // A second line of the same user names it anew; the file keeps one line for it.
        if (!m_mNames.count(id))
            m_vLines.push_back({id, {}});
        m_mNames[id] = OneLine(text.mid(equals + 1));
    }
    return true;
}

bool CZylContacts::Save(QString& error) const {
    QSaveFile out(QString::fromStdString(m_pFile.string()));
    if (!out.open(QIODevice::WriteOnly)) {
        error = out.errorString();
        return false;
    }
    QTextStream stream(&out);
    stream.setEncoding(QStringConverter::Utf8);
    for (const LINE& line : m_vLines) {
        if (line.sId.isEmpty())
            stream << line.sText << '\n';
        else
            stream << line.sId << '=' << m_mNames.at(line.sId) << '\n';
    }
    stream.flush();
    if (!out.commit()) {
        error = out.errorString();
        return false;
    }
    return true;
}

std::vector<QString> CZylContacts::Ids() const {
    std::vector<QString> ids;
    for (const LINE& line : m_vLines)
        if (!line.sId.isEmpty())
            ids.push_back(line.sId);
    return ids;
}

QString CZylContacts::Name(const QString& id) const {
    const auto it = m_mNames.find(Key(id));
    return it == m_mNames.end() ? QString() : it->second;
}

bool CZylContacts::Set(const QString& id, const QString& name) {
    const QString key = Key(id);
    if (key.isEmpty())
        return false;
    if (!m_mNames.count(key))
        m_vLines.push_back({key, {}});
    m_mNames[key] = OneLine(name);
    return true;
}

void CZylContacts::Remove(const QString& id) {
    const QString key = Key(id);
    if (!m_mNames.erase(key))
        return;
    std::erase_if(m_vLines, [&](const LINE& line) { return line.sId == key; });
}
