#include "startup/globals.h"

#include <QCoreApplication>
#include <QDir>

namespace dwnfrw {

namespace {
GlobalSettings g_settings;
QString g_programFolder;
}  // namespace

GlobalSettings& globals() {
    return g_settings;
}

void resetGlobals() {
    g_settings = GlobalSettings{};
}

QString brandProductId(int32_t brand) {
    return isSecondBrand(brand) ? QStringLiteral("KSV006_0100") : QStringLiteral("Nx016_0200");
}

QString brandProductFolder(int32_t brand) {
    return isSecondBrand(brand) ? QStringLiteral("VelmorControlConfig_0100")
                                : QStringLiteral("VelmorStudio_0200");
}

QString brandFolder(int32_t brand) {
    return isSecondBrand(brand) ? QStringLiteral("Kestova") : QStringLiteral("Norvexa");
}

QString brandAppName(int32_t brand) {
    return isSecondBrand(brand) ? QStringLiteral("VelmorControlConfig")
                                : QStringLiteral("VelmorStudio");
}

QString joinPath(const QString& base, const QString& name) {
    return base + QDir::separator() + name;
}

QString programFolder() {
    if (!g_programFolder.isEmpty())
        return g_programFolder;
    if (QCoreApplication::instance() != nullptr)
        return QCoreApplication::applicationDirPath();
    return QDir::currentPath();
}

void enterProgramFolder() {
    QDir::setCurrent(programFolder());
}

void setProgramFolder(const QString& folder) {
    g_programFolder = folder;
}

}  // namespace dwnfrw
