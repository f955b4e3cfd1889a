#include "ui/ZylFileIcons.h"

#include "ui/ZylUiImages.h"

#include <QApplication>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QStyle>

CZylFileIcons::CZylFileIcons() {
    QStyle* style = QApplication::style();
    Append(style->standardIcon(QStyle::SP_FileIcon));
    Append(style->standardIcon(QStyle::SP_DirIcon));
    Append(style->standardIcon(QStyle::SP_FileIcon));
    Append(style->standardIcon(QStyle::SP_FileDialogToParent));
    Append(ZylTreeImage(4));
    Append(QIcon::fromTheme(QStringLiteral("application-x-executable"),
                            style->standardIcon(QStyle::SP_ComputerIcon)));
}

int CZylFileIcons::Append(const QIcon& icon) {
    m_vIcons.push_back(icon);
    m_vLarge.push_back(icon.pixmap(32, 32));
    m_vSmall.push_back(icon.pixmap(16, 16));
    return static_cast<int>(m_vIcons.size()) - 1;
}

const QIcon& CZylFileIcons::GetIcon(int index) const {
    return index >= 0 && index < GetCount() ? m_vIcons[static_cast<size_t>(index)] : m_vIcons.front();
}

const QPixmap& CZylFileIcons::GetLarge(int index) const {
    return index >= 0 && index < GetCount() ? m_vLarge[static_cast<size_t>(index)] : m_vLarge.front();
}

const QPixmap& CZylFileIcons::GetSmall(int index) const {
    return index >= 0 && index < GetCount() ? m_vSmall[static_cast<size_t>(index)] : m_vSmall.front();
}

QString CZylFileIcons::Extension(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const qsizetype separator =
        std::max(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    if (dot < 0 || dot < separator)
        return {};
    return name.mid(dot);
}

int CZylFileIcons::GetImageIndex(const QString& name, bool generic, const QString& localPath) {
    const QString extension = Extension(name);
    bool program = extension.compare(QLatin1String(".exe"), Qt::CaseInsensitive) == 0;
    if (!program && !localPath.isEmpty()) {
        const QFileInfo info(localPath);
        program = info.isFile() && info.isExecutable();
    }
    if (program) {
        if (generic)
            return ZYL_IMAGE_PROGRAM;
        // A program's own icon is not shared with other programs, so it is not cached.
        if (localPath.isEmpty() || !QFileInfo::exists(localPath))
            return ZYL_IMAGE_UNKNOWN;
        const QIcon own = QFileIconProvider().icon(QFileInfo(localPath));
        if (own.isNull() || own.pixmap(32, 32).isNull() || own.pixmap(16, 16).isNull())
            return ZYL_IMAGE_UNKNOWN;
        return Append(own);
    }
    const QString folded = extension.toCaseFolded();
    if (auto it = m_hCache.constFind(folded); it != m_hCache.constEnd())
        return m_vCache[static_cast<size_t>(*it)].index;
    QIcon icon;
    const int index =
        !extension.isEmpty() && GetIconFromFileExt(extension, icon) ? Append(icon) : ZYL_IMAGE_UNKNOWN;
    m_hCache.insert(folded, static_cast<int>(m_vCache.size()));
    m_vCache.push_back({extension, index});
    return index;
}

bool CZylFileIcons::GetIconFromFileExt(const QString& extension, QIcon& icon) {
    const QMimeDatabase database;
    const QMimeType type =
        database.mimeTypeForFile(QLatin1String("x") + extension, QMimeDatabase::MatchExtension);
    if (!type.isValid() || type.isDefault())
        return false;
    icon = QIcon::fromTheme(type.iconName());
    if (icon.isNull())
        icon = QIcon::fromTheme(type.genericIconName());
    if (icon.isNull()) {
        // No icon theme: the style's own image of a file stands for the type.
        icon = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
    }
    return !icon.isNull();
}

void CZylFileIcons::Clear() {
    m_vCache.clear();
    m_hCache.clear();
}
