#!/usr/bin/env python3
"""The layering check on small trees: what it must refuse and what it must let through."""
import os
import subprocess
import sys
import tempfile
import unittest

CHECK = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'scripts', 'check_layering.py')


def run_check(files):
    with tempfile.TemporaryDirectory() as root:
        for path, includes in files.items():
            os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
            with open(os.path.join(root, path), 'w', encoding='utf-8') as f:
                f.writelines(f'#include "{inc}"\n' for inc in includes)
        done = subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True, check=False)
        return done.returncode, done.stdout


# A whole (net/net.h) that holds a part (net/net_part.h) by value.
WHOLE = {'net/net.h': ['net/net_part.h'], 'net/net.cpp': ['net/net.h']}


class CheckLayeringTest(unittest.TestCase):
    def test_refuses(self):
        cases = {
            'a part that includes its whole': dict(WHOLE, **{
                'net/net_part.h': [], 'net/net_part.cpp': ['net/net_part.h', 'net/net.h']}),
            'a part whose internal header includes its whole': dict(WHOLE, **{
                'net/net_part.h': [], 'net/net_part_intrn.h': ['net/net.h'],
                'net/net_part.cpp': ['net/net_part_intrn.h']}),
            'a circle of three through a platform half': {
                'mos/mos_a.h': ['mos/mos_b.h'], 'mos/mos_b.h': ['mos/mos_c.h'], 'mos/mos_c.h': [],
                'mos/usr/linux/mos_c.cpp': ['mos/mos_a.h']},
            'a circle in the storage server': {
                'tgt/cont/cont.h': ['tgt/cont/cont_x.h'], 'tgt/cont/cont_x.h': [],
                'tgt/cont/cont_x.cpp': ['tgt/cont/cont.h']},
            'an upward include': {'mos/mos_a.h': ['net/net.h'], 'net/net.h': []},
        }
        for name, files in cases.items():
            with self.subTest(name):
                rc, out = run_check(files)
                self.assertEqual(rc, 1, out)
                self.assertNotIn('layering: ok', out)

    def test_names_the_circle_and_where_it_closes(self):
        rc, out = run_check(dict(WHOLE, **{'net/net_part.h': [], 'net/net_part.cpp': ['net/net.h']}))
        self.assertEqual(rc, 1)
        self.assertIn('include circle of 2 modules: net/net/net net/net/net_part', out)
        self.assertIn('net/net_part.cpp -> net/net.h', out)
        self.assertIn('net/net.h -> net/net_part.h', out)

    def test_lets_through(self):
        cases = {
            'a part that reaches its whole through a narrow header': dict(WHOLE, **{
                'net/net_root.h': [], 'net/net_part.h': [], 'net/net_part.cpp': ['net/net_part.h', 'net/net_root.h'],
                'net/net.cpp': ['net/net.h', 'net/net_root.h']}),
            'a module with its own internal header and platform half': {
                'mos/mos_a.h': [], 'mos/mos_a_intrn.h': ['mos/mos_a.h'], 'mos/mos_a.cpp': ['mos/mos_a_intrn.h'],
                'mos/usr/linux/mos_a.cpp': ['mos/mos_a_intrn.h'], 'mos/mos_a_os.cpp': ['mos/mos_a.h']},
        }
        for name, files in cases.items():
            with self.subTest(name):
                rc, out = run_check(files)
                self.assertEqual(rc, 0, out)
                self.assertIn('layering: ok', out)


if __name__ == '__main__':
    unittest.main()
