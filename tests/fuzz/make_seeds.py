#!/usr/bin/python3
# Writes the hand-made seeds of the fuzz targets into tests/fuzz/corpus/<target>/seed_*.
# The FuzzedDataProvider layout: strings are taken from the front (a backslash followed by
# another character ends one, a doubled backslash stands for one), integers from the end.
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def fdp_string(data: bytes) -> bytes:
    return data.replace(b"\\", b"\\\\") + b"\\x"


def fdp(strings, tail_ints=()):
    """Strings in order from the front; tail_ints in the order the target consumes them."""
    front = b"".join(fdp_string(s) for s in strings)
    return front + bytes(reversed(list(tail_ints)))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed_" + name), "wb") as f:
        f.write(data)


# ---- ftp_reply: switches (1 LF ends a line, 2 no auto resume, 4 Open only), 8 requests ----
PWD, CWD, CDUP, SYST, SIZE, MKD, RMD, DELE, RENAME, QUOTE, TYPEI, TYPEA, REST, LISTDIR, \
    NLST, GET, PUT, APPE, USER, PASS, PORT, QUIT = range(22)
LOGIN = [b"220 Fake FTP ready\r\n", b"331 Password required\r\n", b"230 Logged in\r\n"]


def ftp(name, chunks, plan, switches=1):
    plan = (list(plan) + [QUIT] * 8)[:8]
    write("ftp_reply", name, fdp(chunks, [switches] + plan))


ftp("session", LOGIN + [b'257 "/home/fuzz" is the current directory\r\n', b"250 CWD ok\r\n",
                        b"215 UNIX Type: L8\r\n", b"221 Goodbye\r\n"], [PWD, CWD, SYST, QUIT])
ftp("multiline", [b"220-Welcome\r\n 220 text line\r\n220 ready\r\n", b"230-Hi\r\n230 Logged in\r\n",
                  b"257-\"/x\"\r\n257 \"/x\" created\r\n"], [MKD, QUIT], switches=0)
ftp("split_reads", [b"2", b"20 ready\r", b"\n", b"3", b"31 pw", b"\r\n230 ok\r\n", b"2", b"13 123456789012\r\n"],
    [SIZE, QUIT])
ftp("bare_lf", [b"220 ready\n", b"331 pw\n", b"230 ok\n", b"257 \"a\"\"b\" quoted\n"], [PWD], switches=1)
ftp("bare_lf_strict", [b"220 ready\n", b"220 ready\r\n", b"331 pw\r\n", b"230 ok\n\r\n"], [PWD], switches=0)
ftp("greeting_421", [b"421 Too many users\r\n"], [PWD])
ftp("wrong_password", [LOGIN[0], LOGIN[1], b"530 Login incorrect\r\n", b"530 Not logged in\r\n"], [PWD, QUIT])
ftp("too_long", [b"220 ready\r\n", b"331 " + b"x" * 590] + [b"y" * 600] * 7, [PWD])
ftp("listing_active", LOGIN + [b"200 Type set to A\r\n", b"200 PORT ok\r\n", b"150 Opening\r\n",
                               b"226 Transfer complete\r\n"], [TYPEA, LISTDIR, QUIT])
ftp("rename", LOGIN + [b"350 Ready for RNTO\r\n", b"250 Renamed\r\n", b"550 No such file\r\n"],
    [RENAME, DELE, QUIT])
ftp("upload_refused", LOGIN + [b"200 PORT ok\r\n", b"553 Not allowed\r\n"], [PUT, APPE, QUIT])
ftp("rest_quote", LOGIN + [b"350 Restarting at 4096\r\n", b"200 NOOP ok\r\n", b"500 Unknown\r\n"],
    [REST, QUOTE, GET, QUIT])
ftp("open_only", [b"220 ready\r\n", b"331 pw\r\n", b"230 ok\r\n", b"200 ok\r\n"], [USER, PASS, PORT, NLST], switches=5)
ftp("garbage", LOGIN + [b"\x00\xff\xfe 257\r\n", b"-257\r\n", b"257-\r\n", b"999999999999 x\r\n", b"257 \"\r\n"],
    [PWD, CDUP, RMD, QUIT])

# ---- socks: switches (level 0:"4" 1:"4A" 2:"5", 4 login offered, 8 host name, 16 line mode),
# read size - 1; then user code, password, the proxy's pieces ----
def socks(name, chunks, switches, read=255, user=b"joe", password=b"pw"):
    write("socks", name, fdp([user, password] + chunks, [switches, read]))


REPLY5 = b"\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x15"
socks("v5_plain", [b"\x05\x00", REPLY5, b"220 hello\r\n"], 2)
socks("v5_login", [b"\x05\x02", b"\x01\x00", REPLY5 + b"220 with the reply\r\n"], 2 | 4)
socks("v5_login_refused", [b"\x05\x02", b"\x01\x01"], 2 | 4)
socks("v5_login_not_needed", [b"\x05\x00", REPLY5], 2 | 4 | 16)
socks("v5_no_method", [b"\x05\xff"], 2)
socks("v5_name_reply", [b"\x05\x00", b"\x05\x00\x00\x03\x09localhost\x00\x15line one\r\nline two\r\n"], 2 | 8 | 16, read=3)
socks("v5_split", [b"\x05", b"\x00", b"\x05\x00\x00\x01", b"\x7f\x00\x00\x01\x00", b"\x15data"], 2, read=0)
socks("v5_failure", [b"\x05\x00", b"\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00"], 2)
socks("v5_long_login", [b"\x05\x02", b"\x01\x00"], 2 | 4, user=b"u" * 100, password=b"p" * 40)
socks("v4_ok", [b"\x00\x5a\x00\x15\x7f\x00\x00\x01" + b"220 after the reply\r\n"], 0)
socks("v4_rejected", [b"\x00\x5b\x00\x00\x00\x00\x00\x00"], 0)
socks("v4a_name", [b"\x00\x5a\x00\x15", b"\x00\x00\x00\x00", b"data"], 1 | 8)
socks("v4_bad_version", [b"\x04\x5a\x00\x15\x7f\x00\x00\x01"], 0)

# ---- ftp_pasv: the reply line ----
for name, line in {
    "plain": b"227 Entering Passive Mode (127,0,0,1,19,137)",
    "blanks": b"227 Entering Passive Mode ( 10, 0 ,0,5 ,19,137 )",
    "port_zero": b"227 Entering Passive Mode (1,2,3,4,0,0)",
    "no_parens": b"227 Entering Passive Mode 1,2,3,4,5,6",
    "too_big": b"227 (1,2,3,4,256,1)",
    "seven": b"227 (1,2,3,4,5,6,7)",
    "leading_zeros": b"227 (001,002,003,004,005,0006)",
    "two_parens": b"227 (x) (1,2,3,4,5,6)",
}.items():
    write("ftp_pasv", name, line)

# ---- profile: section, key, value, three (section, key) queries, then the file ----
FAVS = (b"[FAVLocal demo]\nServer=127.0.0.1\nPort=2121\nUser=anonymous\nPsw=guest@example.test\n"
        b"Passive=1\nRemoteDir=/\n\n[favOther]\r\nServer = ftp.example.test \r\nPassive=0x1\r\n")


def profile(name, section, key, value, queries, content):
    strings = [section, key, value]
    for s, k in queries:
        strings += [s, k]
    write("profile", name, fdp(strings) + content)


Q = [(b"FAVLocal demo", b"Server"), (b"FAVOTHER", b"passive"), (b"nothing", b"x")]
profile("favourites", b"FAVNew site", b"Server", b"ftp.example.test", Q, FAVS)
profile("overwrite", b"favlocal demo", b"PORT", b"21", Q, FAVS)
profile("quoted_value", b"FAVLocal demo", b"Psw", b"\" spaced \"", Q, FAVS)
profile("blank_value", b" FAVx ", b" User ", b"  ", Q, b"")
profile("crlf_file", b"FAVOther", b"New", b"v", Q, FAVS.replace(b"\n", b"\r\n"))
profile("odd_lines", b"s]x", b"k;", b"=v=", [(b"[a", b"b"), (b"", b""), (b"s]x", b"k;")],
        b"[[a]\nb=1\n;comment\n=novalue\n[]\n k = \"quoted\" \n[s]x]\nk;=2\nnoequals\n[broken\nq=1")
profile("long_value", b"FAV", b"Psw", b"x" * 1100, Q, FAVS)
profile("refused", b"FAV\nX", b"k=y", b"v\r", Q, FAVS)
profile("latin1_names", b"FAV\xe9t\xe9", b"Cl\xe9", b"\xff\xfe", [(b"FAV\xc9T\xc9", b"cl\xc9")] * 3,
        b"[FAV\xc3\xa9t\xc3\xa9]\nCl\xc3\xa9=1\n")

# ---- listing: listing files ----
write("listing", "unix", b"total 12\r\n"
      b"drwxr-xr-x   2 ftp      ftp          4096 Jan 01 12:00 pub\r\n"
      b"-rw-r--r--   1 ftp      ftp      5000000000 Feb 29  2024 big file.iso\r\n"
      b"lrwxrwxrwx   1 ftp      ftp            11 Mar 03 03:03 link -> pub\r\n"
      b"-rw-r--r--   1 ftp      ftp             0 Apr 04 04:04 \xe9t\xe9.txt\r\n")
write("listing", "odd", b"-rw-r--r-- 1 a b 12 c d e name\nDRWXRWXRWX\n----------\0hidden\n\n\r\n"
      b"-rw-r--r--   1 0 0 99999999999999999999999 Jan 1 2000 huge\n"
      b"drwxr-xr-x 1 a b 1 Jan 1 2000 ..\n-rw-r--r-- 1 a b 1 Jan 1 2000 \xed\xb2\x80 surrogate\n")

# ---- ftp_tls: switches (bits 0-1 mode: 0 if available, 1 require explicit, 2 implicit;
# bit 2 refuse the certificate; bit 3 TLS 1.2 only), 6 requests ----
T_PWD, T_USER, T_PASS, T_NLST, T_QUOTE, T_QUIT = range(6)


def tls(name, chunks, plan, switches):
    plan = (list(plan) + [T_QUIT] * 6)[:6]
    write("ftp_tls", name, fdp(chunks, [switches] + plan))


TLS_LOGIN = [b"331 Password required\r\n", b"230 Logged in\r\n", b"200 PBSZ=0\r\n", b"200 PROT P\r\n"]
tls("explicit", [b"220 Fake FTP ready\r\n", b"234 Go ahead\r\n"] + TLS_LOGIN
    + [b'257 "/" is cwd\r\n', b"221 Bye\r\n"], [T_PWD, T_QUIT], 1)
tls("explicit_tls12", [b"220 Fake FTP ready\r\n", b"234 Go ahead\r\n"] + TLS_LOGIN, [T_QUOTE], 9)
tls("implicit", [b"220 Fake FTP ready\r\n"] + TLS_LOGIN + [b"200 NOOP ok\r\n"], [T_QUOTE], 2)
tls("fallback", [b"220 Fake FTP ready\r\n", b"502 AUTH not here\r\n", b"331 Password\r\n",
                 b"230 Logged in\r\n"], [T_PWD], 0)
tls("require_refused", [b"220 Fake FTP ready\r\n", b"500 AUTH not understood\r\n", b"331 Password\r\n"],
    [T_USER, T_PASS], 1)
tls("certificate_refused", [b"220 Fake FTP ready\r\n", b"234 Go ahead\r\n", b"331 Password\r\n"], [T_USER], 5)
tls("prot_refused", [b"220 Fake FTP ready\r\n", b"234 Go ahead\r\n", b"331 Password required\r\n",
                     b"230 Logged in\r\n", b"200 PBSZ=0\r\n", b"534 PROT P refused\r\n"], [T_NLST], 1)
tls("multiline_auth", [b"220-Fake\r\n220 FTP ready\r\n", b"234-Go\r\n", b"234 ahead\r\n"] + TLS_LOGIN, [T_PWD], 1)

if __name__ == "__main__":
    sys.exit(0)
