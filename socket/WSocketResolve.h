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

// The decimal value of the digits that follow any leading spaces (0 when there are none).
int ParseLeadingNumber(const std::string& Text);

// The text without leading and trailing blanks and control characters.
std::string TrimStr(const std::string& Text);
