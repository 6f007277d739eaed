// Fuzzes the listing adapter of the folder walk: an arbitrary LIST answer becomes entries.
// What must hold: a name the walk accepts is one path component, so the path joined from it
// lies directly below its folder and normalises to itself; a link's name never holds the
// arrow that separated its target.
#include "transfer/RemoteListing.h"
#include "transfer/RemotePath.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "remote_listing_fuzz: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const transfer::TRemoteEntry& e : transfer::ParseRemoteListing(text)) {
        Check(e.Size >= -1, "negative size");
        if (e.Kind == transfer::TRemoteKind::Link)
            Check(e.Name.find(" -> ") == std::string::npos, "arrow left in a link name");
        if (!transfer::IsPlainName(e.Name))
            continue;
        std::string path = transfer::JoinRemote("/base/dir", e.Name);
        Check(transfer::RemoteParent(path) == "/base/dir", "a plain name left its folder");
        Check(transfer::BaseName(path) == e.Name, "a plain name changed in its path");
        Check(transfer::NormalizeRemote("/", path) == path, "a plain name moved on normalising");
    }
    return 0;
}
