#!/usr/bin/env python3
"""Checks README.md's drawing of the host's rooms against the includes of
host/*.cpp and host/*.h: every file in one room (the files a room's lines
name, and room.h, room.cpp); each include of another room's header an arrow
down the tree, a "(uses ...)" of the room, or a room below the tree listed
after it; every arrow and "uses" drawn an include; no cycle among rooms.
Exit status 1, with each mismatch named, when the drawing is wrong."""
import os, re, sys

NODE = re.compile(r'^([ │]*)[├└]─> (\w+)')
FLOOR = re.compile(r'^(\w+)\s{2,}')
FILE = re.compile(r'(?<![/\w])(\w+\.(?:cpp|h))\b')


def read_drawing(readme):
    block = open(readme, encoding='utf-8').read().split("### The host's rooms", 1)[1].split('```')[1]
    rooms, parent, uses, floor, stack, last = {}, {}, {}, [], [(-1, 'main')], 'main'
    for line in block.splitlines()[1:]:
        node, low = NODE.match(line), FLOOR.match(line)
        if node:
            depth, last = len(node.group(1)), node.group(2)
            while stack[-1][0] >= depth:
                stack.pop()
            parent[last] = stack[-1][1]
            stack.append((depth, last))
        elif low:
            last = low.group(1)
            floor.append(last)
        elif line.startswith('Below'):  # the heading of the rooms below the tree
            last = None
        if last:
            rooms.setdefault(last, set()).update(FILE.findall(line))
            for group in re.findall(r'\(uses ([\w ,]+)\)', line):
                uses.setdefault(last, set()).update(re.split(r'[ ,]+', group.strip()))
    return rooms, parent, uses, floor


def room_of_files(rooms, sources, errors):
    owner = {}
    for room, named in rooms.items():
        for f in named | ({room + '.h', room + '.cpp'} & sources):
            if f in owner and owner[f] != room:
                errors.append(f'{f} is drawn in two rooms, {owner[f]} and {room}')
            owner[f] = room
    errors += [f'{f} is in no room of the drawing' for f in sorted(sources - set(owner))]
    return owner


def below(room, other, parent):  # `other` is under `room` in the tree
    while other in parent:
        other = parent[other]
        if other == room:
            return True
    return False


def check_arrows(host, rooms, parent, uses, floor, errors):
    sources = {f for f in os.listdir(host) if f.endswith(('.cpp', '.h'))}
    owner, edges = room_of_files(rooms, sources, errors), set()
    for f in sorted(sources & set(owner)):
        for n, line in enumerate(open(os.path.join(host, f), encoding='utf-8'), 1):
            m = re.match(r'\s*#\s*include\s+"(\w+\.h)"', line)
            if not m or m.group(1) not in owner or owner[m.group(1)] == owner[f]:
                continue
            a, b = owner[f], owner[m.group(1)]
            edges.add((a, b))
            allowed = below(a, b, parent) or b in uses.get(a, ()) or (
                b in floor and (a not in floor or floor.index(b) > floor.index(a)))
            if not allowed:
                errors.append(f'host/{f}:{n}: {a} includes {m.group(1)} of {b}, which the drawing does not show')
    drawn = set((p, c) for c, p in parent.items()) | set((a, b) for a in uses for b in uses[a])
    errors += [f'the drawing has {a} -> {b}, but no file of {a} includes one of {b}' for a, b in sorted(drawn - edges)]
    return edges


def find_cycle(edges):
    graph, state = {}, {}
    for a, b in edges:
        graph.setdefault(a, []).append(b)

    def visit(room, path):
        state[room] = 'open'
        for nxt in graph.get(room, []):
            if state.get(nxt) == 'open':
                return path + [room, nxt]
            found = state.get(nxt) is None and visit(nxt, path + [room])
            if found:
                return found
        state[room] = 'done'
        return None
    return next((c for r in sorted(graph) if r not in state for c in [visit(r, [])] if c), None)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..')
    errors = []
    rooms, parent, uses, floor = read_drawing(os.path.join(root, 'README.md'))
    edges = check_arrows(os.path.join(root, 'host'), rooms, parent, uses, floor, errors)
    cycle = find_cycle(edges)
    if cycle:
        errors.append('the rooms include each other in a cycle: ' + ' -> '.join(cycle[cycle.index(cycle[-1]):]))
    print('\n'.join(errors) if errors else f'the drawing matches the includes: {len(rooms)} rooms, {len(edges)} arrows')
    return 1 if errors else 0


if __name__ == '__main__':
    sys.exit(main())
