// The mapping of system and resolver errors to Winsock numbers. This file uses the system's
// headers, so it declares the two functions itself instead of including the stand-in.
#include <gtest/gtest.h>

#include <cerrno>
#include <netdb.h>

namespace winsock {
int ErrnoToWinsock(int err);
int ResolverErrorToWinsock(int eaiError);
} // namespace winsock

TEST(ErrorMapping, ErrnoBecomesTheWinsockNumber)
{
    const std::vector<std::pair<int, int>> table = {
        {0, 0},
        {EINTR, 10004},
        {EACCES, 10013},
        {EFAULT, 10014},
        {EINVAL, 10022},
        {EMFILE, 10024},
        {EAGAIN, 10035},
        {EWOULDBLOCK, 10035},
        {EINPROGRESS, 10035},
        {EALREADY, 10037},
        {ENOTSOCK, 10038},
        {EBADF, 10038},
        {EMSGSIZE, 10040},
        {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049},
        {ENETUNREACH, 10051},
        {ECONNABORTED, 10053},
        {ECONNRESET, 10054},
        {EPIPE, 10054},
        {ENOBUFS, 10055},
        {EISCONN, 10056},
        {ENOTCONN, 10057},
        {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061},
        {EHOSTUNREACH, 10065},
    };
    for (const auto& [err, wsa] : table)
        EXPECT_EQ(winsock::ErrnoToWinsock(err), wsa) << "errno " << err;
}

TEST(ErrorMapping, ResolverFailuresBecomeHostErrors)
{
    EXPECT_EQ(winsock::ResolverErrorToWinsock(0), 0);
    EXPECT_EQ(winsock::ResolverErrorToWinsock(EAI_NONAME), 11001);
    EXPECT_EQ(winsock::ResolverErrorToWinsock(EAI_AGAIN), 11002);
    EXPECT_EQ(winsock::ResolverErrorToWinsock(EAI_FAIL), 11003);
    EXPECT_EQ(winsock::ResolverErrorToWinsock(EAI_NODATA), 11004);
    EXPECT_EQ(winsock::ResolverErrorToWinsock(EAI_MEMORY), 10055);
}
