// ModGestFRW: the description file info.txt of a firmware package and the
// table of descriptions of the loaded package.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <cstdint>
#include <utility>
#include <vector>

namespace dwnfrw {

// The description of one firmware file of a package. Multi-line values keep a
// single CR between lines.
struct InfoFRW {
    QString FileName;
    QString Nome;
    QStringList Articoli;  // article codes, indexed from 0
    QString FwVer;
    QString Funzioni;
    QString BugFix;
    QString Note;
    QString Ext;
    QString Tipo;
};

// Descriptions of the loaded package: index 0 describes no file, 1..N the
// firmware files in the order of the working folder's listing.
QList<InfoFRW>& InfoFRWTable();

// Back to a single empty record at index 0.
void ResetInfoFRWTable();

// info.txt read and indexed once, for reading the blocks of many files: each
// lookup then visits only the lines of that file's blocks.
class InfoFile {
  public:
    // Reads the whole file; false when it cannot be read.
    bool load(const QString& path);
    bool readBlock(const QString& fileName, InfoFRW& record) const;

  private:
    qsizetype lineEnd(qsizetype start) const;
    qsizetype nextLine(qsizetype start) const;
    QStringView lineAt(qsizetype start) const;

    QString text_;
    bool loaded_ = false;
    std::vector<std::pair<size_t, qsizetype>> openings_;  // hash of the name, line start
    std::vector<qsizetype> ends_;                         // starts of "{END}" lines
};

// Reads the block of fileName (no folder) from the description file at infoPath
// into record. Fields the block does not mention keep their contents. True when
// at least one "[FW_VER]" entry of the block was read.
bool ReadInfoFRW(const QString& fileName, InfoFRW& record, const QString& infoPath);
// The same from a file already loaded.
bool ReadInfoFRW(const QString& fileName, InfoFRW& record, const InfoFile& info);

// Text of info.txt: UTF-8 when the whole file is valid UTF-8, else Windows-1252
// (the code page the packages are written in).
QString DecodeInfoText(const QByteArray& bytes);

// Article indices above this are ignored like negative ones: a package lists a
// handful of codes, and a stray large number must not allocate a huge list.
inline constexpr int kMaxArticleIndex = 999;

}  // namespace dwnfrw
