// The folder of the per-user files.
#include "platform/SettingsPlace.h"

#include <QCoreApplication>

namespace platform {

std::string SettingsFolder()
{
    return QCoreApplication::applicationDirPath().toLocal8Bit().toStdString();
}

std::string SettingsFilePath()
{
    return SettingsFolder() + "/OFTP.ini";
}

std::string TrustedCertificatesPath()
{
    return SettingsFolder() + "/OFTPCERT.txt";
}

} // namespace platform
