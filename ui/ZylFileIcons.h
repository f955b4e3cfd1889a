// The icons of file types for the file list: a large (32 pixels) and a small (16 pixels) image
// list whose first images are the list's own, and a cache of one image per extension (compared
// without regard to case), so that every further file of a type reuses its image.
#pragma once

#include <QHash>
#include <QIcon>
#include <QPixmap>
#include <QString>

#include <vector>

class CZylFileIcons {
public:
    // The list's own images.
    enum : int {
        ZYL_IMAGE_UNKNOWN = 0, // a file of a type without an icon
        ZYL_IMAGE_FOLDER = 1,
        ZYL_IMAGE_FILE = 2,
        ZYL_IMAGE_UP = 3, // the ".." row
        ZYL_IMAGE_SHARE = 4,
        ZYL_IMAGE_PROGRAM = 5, // any program, when its own icon is not wanted
    };

    CZylFileIcons();

    // The image of a file by its name. Programs (".exe", or a local file marked executable, when
    // localPath names it) get image 5 with the generic flag, else their own icon, uncached; any
    // other type its cached image, or image 0 when the system knows no icon for it.
    int GetImageIndex(const QString& name, bool generic, const QString& localPath = {});
    // Frees every cache entry (the images stay in the lists).
    void Clear();

    int GetCount() const { return static_cast<int>(m_vIcons.size()); }
    int GetCacheSize() const { return static_cast<int>(m_vCache.size()); }
    // Both sizes of an image; the unknown type's for an index out of range.
    const QIcon& GetIcon(int index) const;
    const QPixmap& GetLarge(int index) const;
    const QPixmap& GetSmall(int index) const;

private:
    struct ZYLICONENTRY {
        QString extension; // with its dot
        int index;
    };
    int Append(const QIcon& icon);
    // The icon the system shows for files of that extension; false when it knows none.
    static bool GetIconFromFileExt(const QString& extension, QIcon& icon);
    static QString Extension(const QString& name);

    std::vector<ZYLICONENTRY> m_vCache;
    QHash<QString, int> m_hCache; // folded extension -> cache entry
    std::vector<QIcon> m_vIcons;
    std::vector<QPixmap> m_vLarge;
    std::vector<QPixmap> m_vSmall;
};
