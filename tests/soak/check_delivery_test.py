#!/usr/bin/python3
"""The soak's delivery check on hand-made trees and items: it accepts the
exact difference and refuses every kind of wrong delivery, so that a soak
that passes means something."""

import os
import sys
import unittest

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from soak import check_delivery  # noqa: E402

SHARE = b"/ifs/share"


def entry(ino, kind="f", size=1, mtime=100, ctime=100):
    return (ino, kind, size, mtime * 10**9, ctime * 10**9)


def item(kind, path, old="", mode=None, size=1, mtime=100):
    is_dir = path.endswith("/") and kind != "removed"
    record = {"event": "item", "kindName": kind, "path": (SHARE.decode() + path),
              "oldPath": (SHARE.decode() + old) if old else "", "mode": mode or (0x4000 if is_dir or kind == "removed"
                                                                               else 0x8000),
              "size": size, "mtime": mtime}
    return record


BASE = {
    b"": entry(1, "d"),
    b"d": entry(2, "d"),
    b"d/a": entry(3),
    b"d/b": entry(4),
    b"e": entry(5, "d"),
    b"e/x": entry(6),
}


class CheckDeliveryTest(unittest.TestCase):
    def new_tree(self):
        # d renamed to r, d/b edited, e/x removed, n added; the root and e changed.
        return {
            b"": entry(1, "d", mtime=200),
            b"r": entry(2, "d", ctime=200),
            b"r/a": entry(3),
            b"r/b": entry(4, size=9, mtime=200),
            b"e": entry(5, "d", mtime=200),
            b"n": entry(7, mtime=200),
        }

    def right_items(self):
        return [item("changed", "/", mtime=200), item("renamed", "/r/", "/d/"),
                item("changed", "/r/b", size=9, mtime=200), item("changed", "/e/", mtime=200),
                item("removed", "/e/x/"), item("changed", "/n", mtime=200)]

    def test_the_exact_difference_passes(self):
        self.assertEqual(check_delivery(self.right_items(), BASE, self.new_tree(), SHARE), [])

    def test_a_missing_item_is_found(self):
        for i in range(len(self.right_items())):
            items = self.right_items()
            del items[i]
            with self.subTest(left_out=self.right_items()[i]["path"]):
                self.assertNotEqual(check_delivery(items, BASE, self.new_tree(), SHARE), [])

    def test_a_spurious_item_is_found(self):
        extra = [item("changed", "/e/", mtime=100), item("removed", "/d/a/"), item("changed", "/ghost"),
                 item("renamed", "/n", "/d/a", mtime=200), item("removed", "/nothing/")]
        for bad in extra:
            with self.subTest(extra=bad["path"]):
                items = self.right_items() + [bad]
                self.assertNotEqual(check_delivery(items, BASE, self.new_tree(), SHARE), [])

    def test_wrong_attributes_and_types_are_found(self):
        cases = [
            [item("changed", "/r/b", size=8, mtime=200)],        # stale size
            [item("changed", "/r/b", size=9, mtime=100)],        # stale mtime
            [item("changed", "/n/", mtime=200)],                 # a file delivered as a directory
        ]
        for replacement in cases:
            with self.subTest(item=replacement[0]):
                path = replacement[0]["path"].rstrip("/")
                items = [i for i in self.right_items() if i["path"].rstrip("/") != path] + replacement
                self.assertNotEqual(check_delivery(items, BASE, self.new_tree(), SHARE), [])

    def test_a_rename_with_the_wrong_old_path_is_found(self):
        items = [i for i in self.right_items() if i["kindName"] != "renamed"]
        items.append(item("renamed", "/r/", "/e/"))
        self.assertNotEqual(check_delivery(items, BASE, self.new_tree(), SHARE), [])

    def test_a_path_outside_the_share_is_refused(self):
        items = self.right_items() + [{"kindName": "changed", "path": "/elsewhere/n", "mode": 0x8000}]
        with self.assertRaises(Exception):
            check_delivery(items, BASE, self.new_tree(), SHARE)

    def test_paths_that_are_not_utf8_go_by_their_bytes(self):
        base = {b"": entry(1, "d")}
        new = {b"": entry(1, "d", mtime=200), b"caf\xe9": entry(2, mtime=200)}
        good = item("changed", "/caf\ufffd", mtime=200)
        good["pathHex"] = (SHARE + b"/caf\xe9").hex()
        self.assertEqual(check_delivery([item("changed", "/", mtime=200), good], base, new, SHARE), [])
        bad = dict(good)
        bad["pathHex"] = (SHARE + b"/caf\xc3\xa9").hex()
        self.assertNotEqual(check_delivery([item("changed", "/", mtime=200), bad], base, new, SHARE), [])

    def test_every_path_of_a_hard_linked_file_counts(self):
        base = {b"": entry(1, "d"), b"a": entry(2)}
        new = {b"": entry(1, "d", mtime=200), b"a": entry(2, ctime=200), b"z": entry(2, ctime=200)}
        both = [item("changed", "/", mtime=200), item("changed", "/a"), item("changed", "/z")]
        self.assertEqual(check_delivery(both, base, new, SHARE), [])
        self.assertNotEqual(check_delivery(both[:2], base, new, SHARE), [])


if __name__ == "__main__":
    unittest.main()
