// Where the program keeps its per-user files: the settings file OFTP.ini and, beside it,
// the trusted-certificates file. One function decides the folder for all of them.
#pragma once

#include <string>

namespace platform {

// The folder of the settings file (today the program's own folder), without a trailing '/'.
std::string SettingsFolder();
// The settings file: SettingsFolder() + "/OFTP.ini".
std::string SettingsFilePath();
// The trusted-certificates file, beside the settings file.
std::string TrustedCertificatesPath();

} // namespace platform
