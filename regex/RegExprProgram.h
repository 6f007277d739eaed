// The compiled form of a TRegExpr pattern: node kinds, node layout and the small
// helpers the compiler, the matcher and Dump() share to read and write nodes.
#pragma once

#include <cstdint>
#include <cstring>

namespace regexpr {

// A program is one block: the magic byte, then nodes. A node is one byte of kind,
// a signed 32-bit link (bytes from this node's first byte to the next node's first
// byte, 0 for none) and its operand, if any. Links may point backwards (opBack).
enum TREOp : unsigned char {
    opEnd = 0,          // end of the program: the match succeeded
    opBol = 1,          // empty, only at the very start of the subject
    opEol = 2,          // empty, only at the end of the subject (its NUL)
    opAny = 3,          // any one character
    opBranch = 6,       // one alternative; its first node follows directly
    opBack = 7,         // empty; a link that points backwards, closing a loop
    opExactly = 8,      // a NUL-terminated string that must follow
    opNothing = 9,      // empty
    opStar = 10,        // the single-character node that follows, 0 or more times
    opPlus = 11,        // the single-character node that follows, 1 or more times
    opAnyDigit = 12,    // one character "0" to "9"
    opNotDigit = 13,    // one character that is no digit
    opBraces = 18,      // int32 minimum, int32 maximum, then the node to repeat
    opComment = 19,     // empty; left by a comment or a modifier group
    opExactlyCI = 20,   // like opExactly, each character also in its other case
    opAnyOf3 = 25,      // three characters (ascending, padded); one of them
    opAnyBut3 = 26,     // three characters (ascending, padded); none of them
    opAnyOfSet = 27,    // 32-byte bitmap, bit c of byte c/8 for character c
    opOpen = 28,        // opOpen + n (n = 1..14): records where group n starts
    opClose = 43,       // opClose + n (n = 1..14): records where group n ends
};

// First byte of every program.
constexpr unsigned char ProgramMagic = 216;
// Bytes of kind and link in front of every operand.
constexpr int NodeHeaderSize = 5;
// Bytes of the two counts in front of the node that opBraces repeats.
constexpr int BracesCountsSize = 8;
// Group 0 (the whole match) and groups 1 to 14.
constexpr int NSubExp = 15;
// Maximum of "*" and "+".
constexpr std::int32_t RepeatInfinite = 2147483647;
// Maximum of "{n,}".
constexpr std::int32_t BracesInfinite = 2147483646;

// Reads a signed 32-bit value stored at p (programs are not aligned).
inline std::int32_t ReadInt32(const unsigned char* p)
{
    std::int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Stores a signed 32-bit value at p.
inline void WriteInt32(unsigned char* p, std::int32_t v)
{
    std::memcpy(p, &v, sizeof v);
}

// The node a node links to, or null at the end of a chain.
inline const unsigned char* NextNode(const unsigned char* p)
{
    const std::int32_t link = ReadInt32(p + 1);
    return link == 0 ? nullptr : p + link;
}

// The operand (or first inner node) of a node.
inline const unsigned char* Operand(const unsigned char* p)
{
    return p + NodeHeaderSize;
}

// The node that opStar, opPlus or opBraces repeats.
inline const unsigned char* RepeatedNode(const unsigned char* p)
{
    return p[0] == opBraces ? p + NodeHeaderSize + BracesCountsSize : p + NodeHeaderSize;
}

// True when bit c of a 32-byte set is on.
inline bool SetHas(const unsigned char* bits, unsigned char c)
{
    return (bits[c >> 3] >> (c & 7)) & 1;
}

}  // namespace regexpr
