#!/usr/bin/python3
"""Sets keys of one section of an Ombrex FTP settings file (OFTP.ini) the way the program
itself writes them: sections and keys found without regard to case, an existing key
replaced in place, a new key after the last key of its section, a new section at the end;
the file replaced as a whole (temporary file + rename) with mode 0600.

usage: profile-write.py FILE SECTION [KEY=VALUE | --env KEY=VARIABLE]...

Keys are written in the order given. "--env KEY=VARIABLE" takes the value from an
environment variable, so that a password never shows in the process list."""
import os
import stat
import sys
import tempfile


def fail(message):
    sys.stderr.write("profile-write: %s\n" % message)
    sys.exit(1)


def blank(c):
    return c in " \t"


def trim(text):
    return text.strip(" \t")


def parse(line):
    """(kind, name) of a line: kind is "section", "key" or None."""
    t = trim(line)
    if t.startswith("["):
        close = t.rfind("]")
        end = close if close > 0 else len(t)
        return "section", trim(t[1:end])
    if not t or t.startswith(";"):
        return None, None
    eq = t.find("=")
    if eq <= 0:
        return None, None
    return "key", trim(t[:eq])


def same(a, b):
    return a.casefold() == b.casefold()


def encode(value):
    """Quotes a value that reading would otherwise change (blanks at either end, or a
    pair of matching quotes around it)."""
    if value and (blank(value[0]) or blank(value[-1])
                  or (len(value) >= 2 and value[0] in "\"'" and value[-1] == value[0])):
        return '"' + value + '"'
    return value


def set_key(lines, section, key, value):
    header = next((i for i, line in enumerate(lines)
                   if parse(line)[0] == "section" and same(parse(line)[1], trim(section))),
                  None)
    text = key + "=" + encode(value)
    if header is None:
        if lines and trim(lines[-1]):
            lines.append("")
        lines.append("[" + trim(section) + "]")
        lines.append(text)
        return
    end = header + 1
    while end < len(lines) and parse(lines[end])[0] != "section":
        end += 1
    last_key = header
    for i in range(header + 1, end):
        kind, name = parse(lines[i])
        if kind != "key":
            continue
        if same(name, key):
            lines[i] = name + "=" + encode(value)
            return
        last_key = i
    lines.insert(last_key + 1, text)


def main(argv):
    if len(argv) < 3:
        fail("usage: profile-write.py FILE SECTION [KEY=VALUE | --env KEY=VARIABLE]...")
    path, section, rest = argv[1], argv[2], argv[3:]
    pairs = []
    i = 0
    while i < len(rest):
        from_env = rest[i] == "--env"
        if from_env:
            i += 1
            if i >= len(rest):
                fail("--env needs KEY=VARIABLE")
        key, eq, value = rest[i].partition("=")
        if not eq or not trim(key):
            fail("not KEY=VALUE: %s" % rest[i])
        if from_env:
            if value not in os.environ:
                fail("environment variable %s is not set" % value)
            value = os.environ[value]
        pairs.append((trim(key), value))
        i += 1
    for text in [section] + [k for k, _ in pairs] + [v for _, v in pairs]:
        if any(c in text for c in "\r\n\0"):
            fail("Unable to write to %s" % path)
    for key, _ in pairs:
        if "=" in key or key[0] in "[;":
            fail("Unable to write to %s" % path)

    target = os.path.realpath(path)
    try:
        with open(target, "rb") as f:
            data = f.read().decode("utf-8", "surrogateescape")
        st = os.stat(target)
        if not stat.S_ISREG(st.st_mode) or not st.st_mode & 0o222 \
                or not os.access(target, os.W_OK):
            fail("Unable to write to %s" % path)
        mode = st.st_mode & 0o600
    except FileNotFoundError:
        data, st, mode = "", None, 0o600
    except OSError:
        fail("Unable to write to %s" % path)

    first = data.find("\n")
    line_break = "\r\n" if first > 0 and data[first - 1] == "\r" else "\n"
    lines = data.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    lines = [line[:-1] if line.endswith("\r") else line for line in lines]
    for key, value in pairs:
        set_key(lines, section, key, value)
    content = "".join(line + line_break for line in lines)

    folder = os.path.dirname(target) or "."
    try:
        fd, temp = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(target) + ".")
    except OSError:
        fail("Unable to write to %s" % path)
    try:
        with os.fdopen(fd, "wb") as f:
            os.fchmod(f.fileno(), mode)
            if st is not None and os.geteuid() == 0:
                try:
                    os.fchown(f.fileno(), st.st_uid, st.st_gid)
                except OSError:
                    pass
            f.write(content.encode("utf-8", "surrogateescape"))
            f.flush()
            os.fsync(f.fileno())
        os.replace(temp, target)
    except OSError:
        try:
            os.unlink(temp)
        except OSError:
            pass
        fail("Unable to write to %s" % path)


if __name__ == "__main__":
    main(sys.argv)
