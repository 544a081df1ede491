#!/usr/bin/env python3
# Writes the seed inputs that take a fuzzer past the first checks: valid packed
# data, whole client sessions and self-update lists. Run from anywhere; the
# files go to fuzz/seeds/<target>/.
import os, struct, zlib

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds")

def save(target, name, data):
    os.makedirs(os.path.join(root, target), exist_ok=True)
    with open(os.path.join(root, target, name), "wb") as f:
        f.write(data)

def tag(text):
    return struct.unpack("<I", text.encode())[0]

def zpck(data):
    packed = zlib.compress(data, 9)
    return struct.pack("<III", tag("ZPck"), len(data), len(packed)) + packed

# data_file_unpack: packed files of several shapes.
save("data_file_unpack", "empty.zpck", zpck(b""))
save("data_file_unpack", "word.zpck", zpck(b"hello"))
save("data_file_unpack", "text.zpck", zpck(b"[Main]\nUpdateURL=127.0.0.1\nPort=25859\n" * 40))
save("data_file_unpack", "binary.zpck", zpck(bytes((i * 7 + i // 13) & 0xFF for i in range(3000))))

# server_session: packets as 2-byte length and body.
SIG = 0x04080901
def words(*ws):
    return b"".join(struct.pack("<I", w) for w in ws)
def packet(body):
    return struct.pack("<H", len(body)) + body
def msg(name):
    return packet(words(SIG, tag(name)))
def text(name, s, *head):
    return packet(words(SIG, tag(name), *head) + s.encode() + b"\0")
def get(subtag, name):
    n = name.encode()
    return packet(words(SIG, tag("Get "), tag(subtag), len(n), 0, zlib.crc32(n)) + n)
def init(kind):
    return packet(words(SIG, tag("Init"), tag(kind), 0x00010005))
def data(subtag, content, offset=0):
    return packet(words(SIG, tag("Data"), tag(subtag), len(content), offset, zlib.crc32(content)) + content)

save("server_session", "file-session",
     init("File") + text("GetS", "list") + get("SpcP", "list") + msg("Ackn")
     + get("NrmP", "data/a.txt") + msg("Rept") + msg("Ackn") + get("Spec", "self_upd") + msg("Ackn")
     + get("Norm", "ignore") + get("NrmP", "../outside") + msg("Quit"))
save("server_session", "control-session",
     init("Ctrl") + packet(words(SIG, tag("Auth")) + b"admin".ljust(16, b"\0") + bytes(16))
     + text("Cmnd", "status") + text("Cmnd", "help") + text("Cmnd", "suspend") + text("Cmnd", "up")
     + msg("Quit"))
save("server_session", "changes",
     init("File") + msg("CmdM") + text("Mdfy", "new", tag("DlDr"), 0)
     + text("Mdfy", "new/b.txt", tag("Upld"), 1700000000) + data("NrmP", zpck(b"bravo")) + msg("EndF")
     + text("Mdfy", "new/b.txt", tag("Delt"), 0) + text("Mdfy", "new", tag("CrDr"), 0)
     + text("Cmnd", "status") + msg("Quit"))

# self_update_script: a realm, NUL, then a binary file list of the launcher's files.
def file_list(files):
    # One root folder of files: header, "Fold" block, a "File" record each.
    records = b""
    for name, content in sorted(files.items()):
        n = name.encode()
        records += words(tag("File"), len(content)) + bytes(16) + words(1700000000, 0, len(n)) + n + b"\0"
    total = sum(len(c) for c in files.values())
    return (words(tag("List"), 102, len(files), 0) + struct.pack("<Q", total)
            + words(tag("Fold"), len(files)) + records)

# messages: one well-formed packet or head of each kind.
def raw(body):
    return body[2:]
save("messages", "init", raw(init("File")))
save("messages", "auth", words(SIG, tag("Auth")) + b"bob".ljust(16, b"\0") + bytes(range(16)))
save("messages", "mdfy", raw(text("Mdfy", "a/b", tag("CrDr"), 7)))
save("messages", "data", raw(data("NrmP", b"hello")))
save("messages", "sget", words(SIG, tag("SGet")) + struct.pack("<QQQ", 0, 1 << 20, 64 << 20) + b"big.bin\0")
save("messages", "sdat", words(SIG, tag("SDat")) + struct.pack("<QIIIII", 0, 5, 5, 0, 0, zlib.crc32(b"hello")) + b"hello")
save("messages", "sack", words(SIG, tag("SAck")) + struct.pack("<QQ", 1 << 20, 65 << 20))
save("messages", "zpck", zpck(b"hello"))

launcher = {"Zelvan": b"x" * 10, "libupdclient.so": b"y" * 20, "english.lng": b"z"}
save("self_update_script", "plain", b"Main\0" + file_list(launcher))
save("self_update_script", "quotes", b"it's main\0" + file_list({"a 'b'.txt": b"1", "$(x)": b"2", "dir0029": b""}))
with open(os.path.join(root, "file_list_bin", "tree.lst"), "rb") as f:
    save("self_update_script", "tree", b"../realm\0" + f.read())

# release_manifest and signed_release: a manifest and its envelope as updctl
# writes them (the signature is no real one; the readers do not check it).
manifest = ("updmanifest 1\nrelease 3\nexpires 1900000000\n"
            "next-key 04" + "ab" * 64 + "\n"
            "ignore 6 " + "11" * 32 + "\n"
            "d bin\n"
            "f 12 " + "22" * 32 + " bin/game.exe\n"
            "f 0 " + "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855" + " read me.txt\n"
            "s 4 " + "33" * 32 + " launcher\n").encode()
save("release_manifest", "manifest.txt", manifest)
save("signed_release", "release.updsig", b"updsigned 1\nsignature " + b"44" * 64 + b"\n" + manifest)
save("signed_release", "key.pub", b"upd-ecdsa-p256 04" + b"55" * 64 + b"\n")
