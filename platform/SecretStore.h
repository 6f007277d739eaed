// Passwords of favourite sites in the desktop's secret service (libsecret), loaded at run
// time: a system without libsecret or without a running service builds and runs the same,
// and the callers keep the password in the settings file instead.
#pragma once

#include <string>

namespace platform {

// Which favourite a stored password belongs to.
struct TSecretKey {
    std::string Site;     // the favourite's name
    std::string Server;
    std::string User;
};

// True when libsecret could be loaded and a secret service answers on the session bus.
// Asked anew each time (a keyring may start or stop while the program runs).
bool SecretServiceAvailable();

// Stores password under key (replacing an earlier one); true on success.
bool StoreSecret(const TSecretKey& key, const std::string& password);

// The password stored under key; false when there is none or no service answers.
bool LookupSecret(const TSecretKey& key, std::string& password);

// Removes the password stored under key; true when none is left.
bool ClearSecret(const TSecretKey& key);

} // namespace platform
