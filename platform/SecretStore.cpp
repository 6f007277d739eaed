// The secret service through libsecret, opened with dlopen so that it is optional.
#include "platform/SecretStore.h"

#include <dlfcn.h>

#include <cstring>
#include <mutex>

#ifdef OMBREX_HAVE_LIBSECRET
#include <libsecret/secret.h>
#endif

namespace platform {

#ifdef OMBREX_HAVE_LIBSECRET

namespace {

// The functions we use, looked up once.
struct TLibSecret {
    bool Loaded = false;
    gboolean (*Store)(const SecretSchema*, const gchar*, const gchar*, const gchar*, GCancellable*, GError**, ...) = nullptr;
    gchar* (*Lookup)(const SecretSchema*, GCancellable*, GError**, ...) = nullptr;
    gboolean (*Clear)(const SecretSchema*, GCancellable*, GError**, ...) = nullptr;
    void (*FreePassword)(gchar*) = nullptr;
    void (*FreeError)(GError*) = nullptr;
};

const TLibSecret& Lib()
{
    static TLibSecret lib;
    static std::once_flag once;
    std::call_once(once, [] {
        void* handle = ::dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return;
        auto symbol = [handle](auto& target, const char* name) {
            target = reinterpret_cast<std::remove_reference_t<decltype(target)>>(::dlsym(handle, name));
            return target != nullptr;
        };
        // g_error_free lives in glib, which libsecret brings along.
        lib.Loaded = symbol(lib.Store, "secret_password_store_sync") && symbol(lib.Lookup, "secret_password_lookup_sync")
                     && symbol(lib.Clear, "secret_password_clear_sync") && symbol(lib.FreePassword, "secret_password_free")
                     && symbol(lib.FreeError, "g_error_free");
    });
    return lib;
}

// Our passwords: one per favourite, told apart by site name, server and user.
const SecretSchema* Schema()
{
    static const SecretSchema schema = {
        "io.github.ombrex_ftp.Favourite",
        SECRET_SCHEMA_NONE,
        {
            {"site", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"server", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &schema;
}

// Ends with the error freed; true when there was none.
bool Ok(GError* error)
{
    if (!error)
        return true;
    Lib().FreeError(error);
    return false;
}

} // namespace

bool SecretServiceAvailable()
{
    const TLibSecret& lib = Lib();
    if (!lib.Loaded)
        return false;
    // A look-up that answers (found or not) proves a service; no bus or no service fails.
    GError* error = nullptr;
    gchar* found = lib.Lookup(Schema(), nullptr, &error, "site", "", "server", "", "user", "", nullptr);
    if (found)
        lib.FreePassword(found);
    return Ok(error);
}

bool StoreSecret(const TSecretKey& key, const std::string& password)
{
    const TLibSecret& lib = Lib();
    if (!lib.Loaded)
        return false;
    const std::string label = "Ombrex FTP: " + key.Site;
    GError* error = nullptr;
    gboolean stored = lib.Store(Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), password.c_str(), nullptr, &error,
                                "site", key.Site.c_str(), "server", key.Server.c_str(), "user", key.User.c_str(),
                                nullptr);
    return Ok(error) && stored;
}

bool LookupSecret(const TSecretKey& key, std::string& password)
{
    const TLibSecret& lib = Lib();
    if (!lib.Loaded)
        return false;
    GError* error = nullptr;
    gchar* found = lib.Lookup(Schema(), nullptr, &error, "site", key.Site.c_str(), "server", key.Server.c_str(),
                              "user", key.User.c_str(), nullptr);
    if (!Ok(error) || !found) {
        if (found)
            lib.FreePassword(found);
        return false;
    }
    password.assign(found);
    lib.FreePassword(found);
    return true;
}

bool ClearSecret(const TSecretKey& key)
{
    const TLibSecret& lib = Lib();
    if (!lib.Loaded)
        return false;
    GError* error = nullptr;
    lib.Clear(Schema(), nullptr, &error, "site", key.Site.c_str(), "server", key.Server.c_str(), "user",
              key.User.c_str(), nullptr);
    return Ok(error);
}

#else // built without the libsecret headers: there is never a secret service

bool SecretServiceAvailable()
{
    return false;
}

bool StoreSecret(const TSecretKey&, const std::string&)
{
    return false;
}

bool LookupSecret(const TSecretKey&, std::string&)
{
    return false;
}

bool ClearSecret(const TSecretKey&)
{
    return false;
}

#endif

} // namespace platform
