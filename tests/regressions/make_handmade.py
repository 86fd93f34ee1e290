#!/usr/bin/env python3
"""Writes the hand-made regression inputs of this folder: records and
captures at the boundaries of the conversion rules and of the savefile
format. Inputs that a fuzzer found are added beside them under the name
libFuzzer gave them (crash-..., leak-..., timeout-...).

frame/   inputs of fuzz_frame (layout in fuzz/fuzz_frame.cpp)
capture/ whole capture files, inputs of fuzz_capture

The test suite replays both folders with fuzz_frame_replay and
fuzz_capture_replay."""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))


def frame_input(selector, mode, value, record):
    return bytes([selector, mode]) + struct.pack('<I', value) + bytes(record)


def data80211(fc0, fc1, payload, ethertype=b'\x08\x00'):
    header = (bytes([fc0, fc1, 0, 0]) + bytes(range(0x11, 0x17)) + bytes(range(0x21, 0x27))
              + bytes(range(0x31, 0x37)) + b'\x10\x00')
    if fc0 & 0xF0 == 0x80:
        header += b'\x00\x00'  # QoS Control
    return header + b'\xaa\xaa\x03\x00\x00\x00' + ethertype + bytes((i * 7) & 0xFF for i in range(payload))


def radiotap(length, body):
    return bytes([0, 0, length & 0xFF, length >> 8]) + bytes(max(0, length - 4)) + body


def ppi(length, body):
    return bytes([0, 0, length & 0xFF, length >> 8, 105, 0, 0, 0]) + bytes(max(0, length - 8)) + body


FRAMES = {
    'radiotap-caplen-9': frame_input(2, 0, 0, bytes(9)),
    'radiotap-caplen-3': frame_input(2, 0, 0, bytes(3)),
    'radiotap-length-0-caplen-10': frame_input(2, 0, 0, bytes(10)),
    'radiotap-length-one-past-room': frame_input(2, 0, 0, radiotap(11, bytes(9))),
    'radiotap-data-min': frame_input(2, 0, 0, radiotap(18, data80211(0x08, 0x01, 21))),
    'radiotap-length-65535-short': frame_input(2, 1, 70000, bytes([0, 0, 0xFF, 0xFF]) + bytes(100)),
    'ppi-caplen-7': frame_input(3, 0, 0, bytes([0, 0, 7, 0, 0, 0, 0])),
    'ppi-length-equals-caplen': frame_input(3, 1, 500, ppi(8, b'')),
    'ppi-length-equals-caplen-40': frame_input(3, 1, 500, ppi(40, b'')),
    'ppi-data-fromds': frame_input(3, 0, 0, ppi(32, data80211(0x08, 0x02, 40))),
    'prism-caplen-100-long-len': frame_input(1, 1, 2000, bytes(100)),
    'prism-caplen-0': frame_input(1, 3, 0xFFFFFFFF, b''),
    'bare-caplen-0-len-100': frame_input(0, 1, 100, b''),
    'bare-data-len-53': frame_input(0, 0, 0, data80211(0x08, 0x00, 21)),
    'bare-data-len-52': frame_input(0, 0, 0, data80211(0x08, 0x00, 20)),
    'bare-qos-len-55': frame_input(0, 0, 0, data80211(0x88, 0x00, 21)),
    'bare-qos-len-54': frame_input(0, 0, 0, data80211(0x88, 0x00, 20)),
    'bare-short-through-ethertype': frame_input(0, 1, 1400, data80211(0x08, 0x01, 0)),
    'bare-short-one-before-ethertype': frame_input(0, 1, 1400, data80211(0x08, 0x01, 0)[:31]),
    'bare-qos-short-through-ethertype': frame_input(0, 1, 1400, data80211(0x88, 0x02, 0)),
    'bare-len-wraps-negative': frame_input(0, 3, 0x80000040, data80211(0x08, 0x00, 64)),
    'bare-len-2g': frame_input(0, 3, 0x7FFFFFFF, data80211(0x08, 0x00, 64)),
    'bare-caplen-above-len': frame_input(0, 2, 10, data80211(0x08, 0x02, 60)),
    'bare-four-address': frame_input(0, 0, 0, data80211(0x08, 0x03, 60)),
    'bare-protected': frame_input(0, 0, 0, data80211(0x08, 0x41, 60)),
    'ethernet-link-read-as-bare': frame_input(9, 0, 0, data80211(0x08, 0x00, 30)),
    'bare-large-frame-grows-buffer': frame_input(0, 0, 0, data80211(0x08, 0x00, 5000)),
}


def file_header(link=105, snaplen=65535, magic=0xA1B2C3D4, endian='<'):
    return struct.pack(endian + 'IHHiIII', magic, 2, 4, 0, 0, snaplen, link)


def record(data, ts=(1, 2), caplen=None, length=None, endian='<'):
    c = len(data) if caplen is None else caplen
    return struct.pack(endian + 'IIII', ts[0], ts[1], c, c if length is None else length) + data


def pcapng_block(kind, body):
    body += bytes((-len(body)) % 4)
    total = 12 + len(body)
    return struct.pack('<II', kind, total) + body + struct.pack('<I', total)


def pcapng(link, records):
    out = pcapng_block(0x0A0D0D0A, struct.pack('<IHHq', 0x1A2B3C4D, 1, 0, -1))
    out += pcapng_block(1, struct.pack('<HHI', link, 0, 65535))
    for data, microseconds in records:
        out += pcapng_block(6, struct.pack('<IIIII', 0, microseconds >> 32, microseconds & 0xFFFFFFFF,
                                           len(data), len(data)) + data)
    return out


d = data80211(0x08, 0x01, 40)
CAPTURES = {
    'header-only.pcap': file_header(),
    'cut-in-record-header.pcap': file_header() + record(d) + record(d)[:9],
    'cut-in-record-data.pcap': file_header() + record(d) + record(d)[:40],
    'caplen-above-limit.pcap': file_header() + record(d) + struct.pack('<IIII', 1, 2, 300000, 300000) + bytes(64),
    'caplen-above-snaplen.pcap': file_header(snaplen=64) + record(d) + record(d),
    'swapped.pcap': (file_header(endian='>') + record(d, endian='>')
                     + record(data80211(0x88, 0x02, 30), endian='>')),
    'nanoseconds.pcap': file_header(magic=0xA1B23C4D) + record(d, ts=(5, 999999999)),
    'radiotap-mixed-offsets.pcap': (file_header(127) + record(radiotap(18, d)) + record(radiotap(200, d[:20]))
                                    + record(radiotap(8, d))),
    'ppi-offset-at-end.pcap': file_header(192) + record(ppi(8, b''), length=300) + record(ppi(8, d)),
    'prism-short-records.pcap': file_header(119) + record(bytes(100), length=400) + record(bytes(144) + d),
    'small.pcapng': pcapng(105, [(d, 1_700_000_000_123_456), (data80211(0x88, 0x00, 25), 1_700_000_001_000_001)]),
}

for folder, inputs in (('frame', FRAMES), ('capture', CAPTURES)):
    os.makedirs(os.path.join(here, folder), exist_ok=True)
    for name, contents in inputs.items():
        with open(os.path.join(here, folder, name), 'wb') as out:
            out.write(contents)
