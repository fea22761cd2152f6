#!/usr/bin/env python3
"""Writes the binary files of the sample working directory (sample/ by default):
the object database, the object description template, and the flight model and damage
profiles of the sample inventory. All content is made up for quarneld; run again after
changing it here.

    python3 tools/make_sample_data.py [SAMPLE_DIR]
"""
import pathlib
import struct
import sys
import uuid

# Object database: (name, count A, type code). Names beginning with AirFld or runway are
# airfields to the host.
OBJECTS = [
    ("AirFld_Henderson", 1, 4),
    ("runway_Munda", 2, 4),
    ("Cargo_Ship_QD", 1, 2),
    ("Fuel_Dump_QD", 3, 8),
    ("Bunker_QD", 1, 8),
]
SHIPS = {"Cargo_Ship_QD"}  # their damage profiles live under ships/<name>/

# Sample aircraft: folder, SIM base name, height word (1/1500 in, 90000 = 5 ft) and
# pitch word (1/182 degree, 2093 = 11.5 degrees) of record 769.
AIRCRAFT = [("QD_Tug", "QDTUG", 90000, 2093)]

TEMPLATE_A, TEMPLATE_B = 48, 32
TEMPLATE_P1, TEMPLATE_P2 = 52, 72  # clear of the patches at 8, 26 and 36


def type_guid(name: str) -> bytes:
    return uuid.uuid5(uuid.NAMESPACE_URL, "quarneld:objdb:" + name).bytes_le


def object_database() -> bytes:
    out = bytearray(struct.pack("<hH", 308, 0))
    for name, count, code in OBJECTS:
        body = type_guid(name) + struct.pack("<II", count, code) + name.encode("ascii") + b"\0"
        assert len(body) <= 72, name
        out += struct.pack("<H", len(body)) + body
    return bytes(out)


def template() -> bytes:
    size = TEMPLATE_A + TEMPLATE_B
    body = bytes((0x51 + 7 * i) & 0xFF for i in range(size))
    return struct.pack("<IIII", TEMPLATE_A, TEMPLATE_B, TEMPLATE_P1, TEMPLATE_P2) + body


def air_file(height: int, pitch: int) -> bytes:
    def record(kind: int, data: bytes) -> bytes:
        return struct.pack("<II", kind, len(data)) + data

    r769 = bytearray(32)
    struct.pack_into("<i", r769, 6, height)
    struct.pack_into("<h", r769, 10, pitch)
    return (record(1, b"quarneld sample\0") + record(769, bytes(r769)) + record(1100, bytes(8)))


def damage_profile(name: str) -> bytes:
    text = (
        f"; quarneld sample damage profile for {name}\r\n"
        "[QD_PROFILE]\r\n"
        f"object={name}\r\n"
        "hull_points=100\r\n"
        "fire_at=40\r\n"
        "destroyed_at=0\r\n"
    )
    return text.encode("ascii")


def main() -> None:
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent / "sample")
    files = {
        "quarneld/objdb.dat": object_database(),
        "quarneld/template4.dat": template(),
    }
    for name, _, _ in OBJECTS:
        where = f"ships/{name}/{name}.dp" if name in SHIPS else f"objects_dp/{name}.dp"
        files[where] = damage_profile(name)
    for folder, sim, height, pitch in AIRCRAFT:
        files[f"aircraft/{folder}/{sim}.air"] = air_file(height, pitch)
        files[f"aircraft/{folder}/{sim}.dp"] = damage_profile(sim)
    for rel, data in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        print(f"{path}: {len(data)} bytes")


if __name__ == "__main__":
    main()
