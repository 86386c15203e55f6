#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/<target>/: a few valid inputs per decoder, in the
formats the peers write, so that the fuzzer starts from messages that decode."""
import json
import pathlib
import shutil
import struct

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"
SESSION = "0F2B6A4C-8D1E-4F3A-9B7C-5E6D7F8A9B0C"


def tunnel_frame(kind, code, flow, payload=b"", reserved=0):
    return struct.pack("<4sBBHII", b"PRTU", kind, reserved, code, flow, len(payload)) + payload


def string_field(text):
    data = text.encode()
    return struct.pack("<H", len(data)) + data


def data_field(data):
    return struct.pack("<I", len(data)) + data


def compact(document):
    return json.dumps(document, separators=(",", ":")).encode()


def timespec(seconds, nanoseconds):
    return {"tvSec": seconds, "tvNsec": nanoseconds}


SUMMARY = {
    "identifier": "docs/report.txt", "filename": "report.txt", "isDirectory": False,
    "inode": 4242, "size": 11, "allocSize": 4096, "mode": 0o100644, "uid": 501, "gid": 20,
    "flags": 0, "linkCount": 1, "accessTime": timespec(1700000000, 5),
    "modifyTime": timespec(1700000001, 999999999), "changeTime": timespec(-1, 0),
    "birthTime": timespec(0, 0), "contentVersion": "AQID", "metadataVersion": "",
}


def usbmux_plist(entries):
    body = "".join(f"\t<key>{key}</key>\n\t{value}\n" for key, value in entries)
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" '
            '"http://www.apple.com/DTDs/PropertyList-1.0.dtd">\n'
            f'<plist version="1.0">\n<dict>\n{body}</dict>\n</plist>\n').encode()


def usbmux_packet(tag, payload, message=8):
    return struct.pack("<IIII", 16 + len(payload), 1, message, tag) + payload


def client_request(message_type, *extra):
    return usbmux_plist([("MessageType", f"<string>{message_type}</string>"),
                         ("ClientVersionString", "<string>libusbmuxd 2.0.2</string>"),
                         ("ProgName", "<string>BrimoService</string>"), *extra])


CONNECT = client_request("Connect", ("DeviceID", "<integer>3</integer>"),
                         ("PortNumber", "<integer>35353</integer>"))  # htons(6538)

SEEDS = {
    "tunnel_frame": {
        "request": tunnel_frame(1, 3, 1),
        "response": tunnel_frame(2, 0, 7, b"\x00" * 5)[:16],
        "notify": tunnel_frame(3, 4, 0xFFFFFFFF)[:16],
        "kind5_reserved": tunnel_frame(5, 0xFFFF, 2, reserved=0x7F),
        "flow0": tunnel_frame(2, 1, 0),
    },
    "tunnel_engine": {
        # First byte: bit 0 the role (0 client, 1 server), bits 1-3 the client's waiting requests.
        "client_responses": bytes([3 << 1]) + tunnel_frame(2, 0, 2, b"second") +
        tunnel_frame(3, 4, 9, b'{"action":"mount"}') + tunnel_frame(2, 9, 1, b"first"),
        "client_unknown_flow": bytes([1 << 1]) + tunnel_frame(2, 0, 5, b"late"),
        "client_truncated": bytes([2 << 1]) + tunnel_frame(2, 0, 1, b"whole")[:18],
        "server_requests": bytes([1]) + tunnel_frame(1, 1, 1, b"one") + tunnel_frame(1, 2, 2) +
        tunnel_frame(1, 3, 3, b"three"),
        "server_notify": bytes([1]) + tunnel_frame(1, 2, 1, b"x") + tunnel_frame(3, 0, 2),
    },
    "chunk_messages": {
        "read_request": string_field("docs/report.txt") + struct.pack("<QI", 8192, 4 << 20),
        "read_response": struct.pack("<QB", 11, 1) + data_field(b"hello world"),
        "write_request": string_field("docs/new.bin") + struct.pack("<Q", 0) +
        data_field(bytes(range(16))),
        "write_response": struct.pack("<QQ", 16, 16),
        "write_response_summary": struct.pack("<QQ", 11, 11) + data_field(compact(SUMMARY)),
    },
    "relay_lookup_json": {
        "lookup": compact({"identifier": "docs"}),
        "lookup_source": compact({"identifier": "docs/a b.txt", "source": "fsLookupByName"}),
        "summary": compact(SUMMARY),
    },
    "file_io_json": {
        "begin_read": compact({"identifier": "docs/report.txt", "sessionID": SESSION}),
        "end_read": compact({"token": "r-1"}),
        "begin_write": compact({"identifier": "docs/report.txt", "sessionID": SESSION,
                                "expectedContentVersion": "AQID", "token": "w-1",
                                "sourceFileName": "upload-1.tmp", "byteCount": 11}),
        "descriptor": compact({"token": "r-1", "fileName": "read-1.tmp", "byteCount": 11,
                               "contentVersion": "AQID", "metadataVersion": "BA=="}),
        "rejection": compact({"status": 2}),
        "truncate": compact({"identifier": "docs/report.txt", "size": 0,
                             "expectedContentVersion": "AQID"}),
        "commit": compact({"identifier": "docs/report.txt"}),
    },
    "file_system_json": {
        "list": compact({"identifier": "docs", "limit": 500}),
        "list_after": compact({"identifier": "", "after": "report.txt", "limit": 1}),
        "page": compact({"items": [SUMMARY, dict(SUMMARY, identifier="docs/b", filename="b",
                                                   isDirectory=True)], "more": True}),
        "page_empty": compact({"items": [], "more": False}),
        "create": compact({"parentIdentifier": "docs", "name": "new dir", "isDirectory": True,
                           "mode": 0o755}),
        "remove": compact({"identifier": "docs/report.txt", "isDirectory": False}),
        "rename": compact({"identifier": "docs/report.txt", "newParentIdentifier": "",
                           "newName": "Grüße.txt", "replaceExisting": False}),
        "set_attributes": compact({"identifier": "docs", "mode": 0o700,
                                   "accessTime": timespec(1700000000, 5),
                                   "modifyTime": timespec(-1, 999999999)}),
        "set_attributes_none": compact({"identifier": "docs"}),
        "volume": compact({"totalBytes": 64000000000, "freeBytes": 1000, "availableBytes": 0,
                           "totalFiles": 4000000, "freeFiles": 3999000, "blockSize": 4096,
                           "maxNameLength": 255}),
        "failure": compact({"reason": "notEmpty"}),
    },
    "contract_json": {
        "state": compact({"source": 2, "connected": True}),
        "progress": compact({"sessionID": SESSION, "completedBytes": 4194304,
                             "totalBytes": 10485760, "percent": 40}),
        "mutation": compact({"kind": "created", "relayID": "docs/new.txt"}),
        "mount": compact({"action": "unmount"}),
    },
    "base64": {
        "empty": b"", "one": b"Zg==", "two": b"Zm8=", "three": b"Zm9v", "binary": b"AP8QgA==",
    },
    "mount_table": {
        "mountinfo": b"22 28 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw\n"
        b"28 1 254:1 / / rw,relatime shared:1 - ext4 /dev/vda1 rw,errors=remount-ro\n"
        b"61 28 0:50 / /home/u/.local/share/Tarvel/mnt rw,nosuid,nodev,relatime shared:33 - "
        b"fuse.brimo brimo rw,user_id=1000,group_id=1000\n",
        "escaped": b"70 28 0:52 /sub\\040dir /home/u/My\\040Drive\\011x\\134y rw - brimo src rw\n",
    },
    "service_version": {
        "plain": b"1", "build": b"20260112", "negative": b"-7", "plus": b"+12",
        "max": b"9223372036854775807", "dotted": b"1.2",
    },
    "usbmux_packet": {
        "listen": usbmux_packet(1, client_request("Listen")),
        "list_then_connect": usbmux_packet(2, client_request("ListDevices")) +
        usbmux_packet(3, CONNECT),
        "read_buid": usbmux_packet(4, client_request("ReadBUID")),
        "binary_message": usbmux_packet(5, b"\x00\x01", message=3),
    },
}


def main():
    for target, seeds in SEEDS.items():
        folder = CORPUS / target
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
