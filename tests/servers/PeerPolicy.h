// What a test does when a real peer it needs (an FTP server, a proxy) cannot start.
// On a developer's machine without the packages the test is skipped; CI sets
// OMBREX_REQUIRE_PEERS=1, so a peer that fails to start there fails the test instead of
// letting the run pass without having talked to it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace testsrv {

inline bool PeersRequired()
{
    const char* value = std::getenv("OMBREX_REQUIRE_PEERS");
    return value && *value && std::strcmp(value, "0") != 0;
}

} // namespace testsrv

// Ends the current test (or SetUp) because the named peer cannot run here.
#define OMBREX_PEER_MISSING(what)                                                 \
    do {                                                                          \
        if (testsrv::PeersRequired())                                             \
            GTEST_FAIL() << what << " cannot run here (OMBREX_REQUIRE_PEERS is set)"; \
        else                                                                      \
            GTEST_SKIP() << what << " cannot run here";                           \
    } while (0)
