// Where the program keeps its files: beside itself when its folder is writable (portable
// use, as from a build or an unpacked folder), in the user's XDG folders when installed.
#pragma once

#include <string>

namespace platform {

// The folder of the running program, without a trailing separator.
std::string ProgramFolder();

// True when the program keeps its files beside itself: its folder is writable by this
// user (by its mode bits too, so that a read-only tree counts as such even for root) and
// does not hold an installed layout (share/ombrex-ftp beside bin).
bool IsPortable();

// The folder where settings live: the program's folder for portable use, otherwise
// $XDG_CONFIG_HOME/ombrex-ftp (~/.config/ombrex-ftp by default), created mode 0700 when
// missing. Every settings file (favourites, trusted certificates, the view state) goes
// here; each such file is written atomically with mode 0600 (platform::TPrivateProfile).
std::string SettingsFolder();

// SettingsFolder() + "/" + name.
std::string SettingsFilePath(const std::string& name);

// The trusted-certificates file (host, port, fingerprint), beside the settings file.
std::string TrustedCertificatesPath();

// The per-user configuration folder, $XDG_CONFIG_HOME/ombrex-ftp, whatever the mode
// (created 0700 when missing). The window's remembered state lives here.
std::string UserConfigFolder();

// The folder of the installed default files (share/ombrex-ftp beside bin); empty when the
// program does not run from an installed layout.
std::string InstalledDataFolder();

// The list of extensions sent as ASCII: beside the program for portable use; otherwise
// the user's own list in the settings folder when there is one, else the installed one.
std::string AsciiExtensionsPath();

// A fresh private file for this process: created mode 0600 (never following a link) in
// $XDG_RUNTIME_DIR/ombrex-ftp, or in the cache folder when that variable is unset or
// unusable, with a name made of prefix, the process id and a random part. Empty when no
// file could be made. Files made here are removed at the latest when the process exits
// normally (RemovePrivateTempFile removes one earlier).
std::string CreatePrivateTempFile(const std::string& prefix);

// Removes a file made by CreatePrivateTempFile and forgets it.
void RemovePrivateTempFile(const std::string& path);

} // namespace platform
