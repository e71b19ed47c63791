#!/usr/bin/env python3
"""Checks that includes point down only.

Rules:
- mos/ never includes net/, linux/net/ or tgt/; net/ and linux/net/ never include tgt/.
- The runtime's ground floor (mos/ outside the uthreads, the micro-tasks, the start-up module and
  asynchronous I/O) includes nothing from those.
- No include circle spans more than one module, in any layer: a module is a header with its
  source files and its internal header (mos_x.h, mos_x.cpp, mos_x_intrn.h; a platform half such
  as usr/linux/mos_x.cpp or mos_x_os.cpp belongs to the same module). A whole that holds its
  parts by value includes their headers; the parts reach it through a narrow header of its own
  (net/net_root.h, tgt/cont/cont_root.h), or keep what it holds of them in a state header of
  their own (tgt/cont/cont_*_state.h) so that it includes only that.

Exits 1 and names every breach; prints "layering: ok" otherwise.
"""
import os
import re
import sys

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..'))
SOURCE_DIRS = ['mos', 'common', 'net', 'linux', 'tgt', 'tools']
INCLUDE_RE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)

# Parts of mos/ that sit above the ground floor.
UPPER_RUNTIME = ('mos/umt/', 'mos/mit/', 'mos/usr/linux/umt/')
STARTUP = ('mos/mos_load.h', 'mos/mos_load.cpp')
ASYNC_IO = ('mos/usr/mos_async_io', 'mos/usr/linux/mos_async_io')

def is_upper_runtime(path):
    return path.startswith(UPPER_RUNTIME) or path in STARTUP


def is_ground_floor(path):
    return path.startswith('mos/') and not is_upper_runtime(path) and not path.startswith(ASYNC_IO)


def layer_rank(path):
    if path.startswith('tgt/') or path.startswith('tools/'):
        return 2
    if path.startswith('net/') or path.startswith('linux/net/'):
        return 1
    return 0


def module_of(path):
    d, base = os.path.split(path)
    stem = re.sub(r'\.(h|hpp|cpp|S)$', '', base)
    stem = re.sub(r'_(intrn|os)$', '', stem)
    # Platform halves live under usr/linux/ (or linux/) beside the portable part.
    d = re.sub(r'(^|/)usr(/linux)?(/|$)', r'\1', d)
    d = re.sub(r'(^|/)linux(/|$)', r'\1', d).rstrip('/')
    top = path.split('/')[0]
    return (top, d, stem) if top != 'mos' else ('mos', stem)


def collect():
    incs = {}
    for top in SOURCE_DIRS:
        for dp, _, fns in os.walk(os.path.join(ROOT, top)):
            for fn in fns:
                if fn.endswith(('.h', '.hpp', '.cpp')):
                    full = os.path.join(dp, fn)
                    rel = os.path.relpath(full, ROOT)
                    with open(full, encoding='utf-8', errors='replace') as f:
                        incs[rel] = INCLUDE_RE.findall(f.read())
    return incs


def sccs(graph):
    index, low, stack, on, out, counter = {}, {}, [], set(), [], [0]
    for root in list(graph):
        if root in index:
            continue
        work = [(root, iter(graph.get(root, ())))]
        index[root] = low[root] = counter[0]
        counter[0] += 1
        stack.append(root)
        on.add(root)
        while work:
            v, it = work[-1]
            advanced = False
            for w in it:
                if w not in index:
                    index[w] = low[w] = counter[0]
                    counter[0] += 1
                    stack.append(w)
                    on.add(w)
                    work.append((w, iter(graph.get(w, ()))))
                    advanced = True
                    break
                if w in on:
                    low[v] = min(low[v], index[w])
            if advanced:
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[v])
            if low[v] == index[v]:
                comp = []
                while True:
                    w = stack.pop()
                    on.discard(w)
                    comp.append(w)
                    if w == v:
                        break
                out.append(comp)
    return out


def main():
    incs = collect()
    errors = []
    graph = {}
    via = {}  # one include line for each module edge, to show where a circle closes
    for path, targets in sorted(incs.items()):
        for inc in targets:
            if inc not in incs:
                continue
            if layer_rank(inc) > layer_rank(path):
                errors.append(f'{path}: includes {inc} from a higher layer')
            if is_ground_floor(path) and (is_upper_runtime(inc) or inc.startswith(ASYNC_IO)):
                errors.append(f'{path}: the ground floor includes {inc}')
            a, b = module_of(path), module_of(inc)
            if a != b:
                graph.setdefault(a, set()).add(b)
                via.setdefault((a, b), f'{path} -> {inc}')
    for comp in sccs(graph):
        if len(comp) > 1:
            names = sorted('/'.join(m[1:]) if m[0] == 'mos' else '/'.join(m) for m in comp)
            errors.append(f'include circle of {len(comp)} modules: {" ".join(names)}')
            members = set(comp)
            errors.extend(f'    {line}' for (a, b), line in sorted(via.items()) if a in members and b in members)
    for e in errors:
        print(e)
    if errors:
        return 1
    print('layering: ok')
    return 0


if __name__ == '__main__':
    sys.exit(main())
