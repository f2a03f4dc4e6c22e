#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz harnesses: fuzz/corpus/<harness>/<seed>.

The seeds are small programs and files that reach every path of each harness at once (joins,
relays, kills, drops, the clock's wrap, long datagrams; the shapes of svrcfg.ini; short, full and
oversized scores files), so that a short fuzzing run starts from them rather than from nothing.
Run it again after changing the datagram harness's operation format; the output is committed.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# fuzz_datagrams operations (see RunProgram in fuzz_datagrams.cpp).
JOIN, STATE, NEAR_JOIN, DATAGRAM, CLOCK, PASSES, KEY = range(7)
CLOCK_FEW, CLOCK_WORD, CLOCK_TIMEOUT, CLOCK_WRAP = range(4)
OTHER_ADDRESS = 240  # an address byte from here on: the next four bytes are the address


def start(near_wrap=False, clock=0):
    return bytes([1 if near_wrap else 0]) + struct.pack("<H", clock)


def join(player):
    return bytes([JOIN, player])


def state(player, flags, seed=0):
    return bytes([STATE, player]) + bytes((seed + i) & 0xFF for i in range(15)) + bytes([flags])


def killed_by(killer):
    return 0x02 | killer << 2


def passes(count):
    return bytes([PASSES, count - 1])


def clock(mode, *arguments):
    return bytes([CLOCK, mode]) + bytes(arguments)


def datagram(player, length_pick, content=b""):
    return bytes([DATAGRAM, player, length_pick]) + content


def datagram_seeds():
    seeds = {}
    seeds["join_relay_kill"] = (start() + join(0) + join(1) + passes(2) +
                                state(1, killed_by(0), 0x40) + state(0, 0x01) + passes(2))
    seeds["drop_after_timeout"] = (start() + join(0) + join(1) + passes(2) + state(0, 0) +
                                   passes(1) + clock(CLOCK_TIMEOUT, 0) + passes(1) +
                                   clock(CLOCK_TIMEOUT, 2) + passes(1) + join(2) + passes(1))
    seeds["nine_joins"] = start() + b"".join(join(p) for p in range(9)) + join(OTHER_ADDRESS) + \
        bytes([1, 2, 3, 4]) + passes(8) + passes(3)
    seeds["freed_slot_still_heard"] = (start() + join(0) + join(1) + passes(2) +
                                       clock(CLOCK_WORD, 0xB8, 0x0B) + state(1, 0) + passes(2) +
                                       clock(CLOCK_TIMEOUT, 2) + passes(1) +
                                       state(0, killed_by(1)) + passes(1))
    seeds["clock_wrap"] = (start(near_wrap=True, clock=1000) + join(0) + join(1) + passes(2) +
                           clock(CLOCK_WORD, 0xE8, 0x03) + state(0, 0) + passes(1) +
                           clock(CLOCK_WORD, 0xB8, 0x0B) + passes(1) + clock(CLOCK_FEW, 200) +
                           passes(1))
    seeds["long_and_odd_lengths"] = (start() + join(0) + passes(1) +
                                     b"".join(datagram(0, length) for length in
                                              (0, 1, 10, 12, 15, 17, 40, 41, 47)) +
                                     b"".join(datagram(1, pick) for pick in range(250, 256)) +
                                     passes(8) + passes(8))
    seeds["near_joins"] = start() + b"".join(bytes([NEAR_JOIN, 0, index, 1]) for index in
                                             range(11)) + passes(8) + passes(3)
    seeds["stranger_and_zero_address"] = (start() + join(0) + passes(1) + state(9, killed_by(0)) +
                                          state(8, killed_by(3)) + passes(2))
    seeds["same_address_twice"] = (start() + join(0) + join(0) + passes(2) + state(0, 0) +
                                   passes(1) + clock(CLOCK_TIMEOUT, 2) + passes(1))
    # A join that arrives as a datagram of any length (11 bytes that spell the request), from a
    # stranger: the server answers it like any join.
    seeds["join_spelt_by_a_datagram"] = (start() + join(0) + passes(1) +
                                         datagram(9, 11, b"NIGHTCOMET\0") + passes(2) +
                                         state(9, 0) + passes(1))
    seeds["keys"] = start() + join(0) + state(0, killed_by(0)) + bytes([KEY, KEY]) + passes(3)
    return seeds


def config_seeds():
    return {
        "well_formed": b"port= 27015\notherport= 27016\n",
        "no_spaces": b"port=27015\notherport=27016",
        "crlf": b"port= 27015\r\notherport= 27016\r\n",
        "swapped": b"otherport= 27016\nport= 27015\n",
        "space_before_equals": b"port = 27015\notherport = 27016\n",
        "letters": b"port= abc\notherport= 27016\n",
        "one_line": b"port= 1 otherport= 2",
        "comment_between": b"port= 1\n# comment\notherport= 2\n",
        "upper_case": b"PORT= 1\nOTHERPORT= 2\n",
        "signs_and_big": b"port= -70000\notherport= +123456789\n",
        "bom": b"\xef\xbb\xbfport= 1\notherport= 2\n",
        "empty": b"",
    }


def scores_file(count, records, size=804):
    image = struct.pack("<I", count)
    for address, kills, deaths in records:
        image += bytes(address) + struct.pack("<HH", kills, deaths)
    return (image + bytes(804))[:size]


def scores_seeds():
    two = [((10, 1, 2, 3), 1000, 5), ((192, 168, 0, 255), 65535, 0)]
    full = [((10, 0, i // 256, i % 256), i, 100 - i) for i in range(100)]
    return {
        "empty": b"",
        "zeros": bytes(804),
        "two_records": scores_file(2, two),
        "short": scores_file(2, two, size=13),
        "count_above_100": scores_file(0xFFFFFFFF, two),
        "full": scores_file(100, full),
        "full_and_new_addresses": scores_file(100, full) + bytes(range(1, 33)),
        "beyond_count": scores_file(1, two + [((127, 0, 0, 2), 9, 9)]),
    }


def main():
    for harness, seeds in (("fuzz_datagrams", datagram_seeds()), ("fuzz_config", config_seeds()),
                           ("fuzz_scores", scores_seeds())):
        folder = os.path.join(HERE, "corpus", harness)
        os.makedirs(folder, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as seed:
                seed.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
