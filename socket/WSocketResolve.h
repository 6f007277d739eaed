// Turning the text settings of a socket into numbers: host addresses, ports and protocols.
#pragma once

#include <cstdint>
#include <string>

// The IPv4 address (network byte order) of a dotted address or host name; a name is
// resolved synchronously (blocking). Raises ESocketException when it cannot.
std::uint32_t WSocketResolveHost(const std::string& Text);

// The port number (host order, no range check) of a decimal text or a service name of the
// given protocol (any protocol when empty). Raises ESocketException when it cannot.
int WSocketResolvePort(const std::string& PortText, const std::string& ProtoText);

// The protocol number of a decimal text or a protocol name. Raises ESocketException when it cannot.
int WSocketResolveProto(const std::string& Text);

// True for a dotted IPv4 address (a.b.c.d, groups up to 255; spaces around allowed).
bool IsDottedAddress(const std::string& Text);

// True for an IPv6 address text, bare ("::1") or in brackets ("[::1]"), blanks around
// allowed; Address (when given) receives its 16 bytes in network order.
bool IsIpv6Address(const std::string& Text, unsigned char* Address = nullptr);

// The numeric text of an IPv6 address without brackets ("[::1]" gives "::1"); other texts unchanged.
std::string StripAddressBrackets(const std::string& Text);

// Splits a typed server into host and port: "[::1]:2121" gives "::1" and "2121", "host:21"
// gives "host" and "21"; a bare IPv6 address ("::1", "fe80::1") and a text without a port
// leave Port empty. False for a bracket that is not closed or followed by junk.
bool SplitHostPort(const std::string& Text, std::string& Host, std::string& Port);

// The decimal value of the digits that follow any leading spaces (0 when there are none).
int ParseLeadingNumber(const std::string& Text);

// The text without leading and trailing blanks and control characters.
std::string TrimStr(const std::string& Text);
