#!/usr/bin/env python3
"""Lists every function longer than the tree's limit (60 lines, from the line
that names it to the line that closes it) in the C, C++, Python and shell
sources, and the NASM sources outside kernels/ (whose unrolled code is
exempt), under the given folder; exit status 1 when there is one. Build
folders and hidden folders are left out. C and C++ are read with comments, strings and
preprocessor lines blanked; a brace that follows a closing parenthesis
(and qualifiers or a member initialiser list) at namespace or class level
opens a function (a lambda at that level counts as one); lambdas and local
classes inside a function count as part of it."""
import ast, os, re, sys

LIMIT = 60
CODE = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'|^[ \t]*#(?:[^\n]*\\\n)*[^\n]*',
                  re.S | re.M)
SCOPE = re.compile(r'\b(namespace|struct|class|union|extern)\b')
FUNCTION = re.compile(r'\)\s*(const|noexcept|override|final|mutable|->[^{]*|:[^;{]*|\s)*$', re.S)
NAME = re.compile(r'([~\w:]+|operator\W+)\s*\((?:[^()]|\([^()]*\))*\)[^()]*$', re.S)


def blank(text):  # comments, strings and directives to spaces, lines kept
    return CODE.sub(lambda m: re.sub(r'[^\n]', ' ', m.group(0)), text)


def cpp_functions(text):
    code, i, depth, head, found = blank(text), 0, 0, 0, []
    while i < len(code):
        ch = code[i]
        if ch in ';}':
            head, depth = i + 1, depth - (ch == '}')
        elif ch == '{':
            decl = code[head:i]
            if SCOPE.search(decl) and '(' not in decl.split('=')[0]:
                depth, head = depth + 1, i + 1  # a namespace or class: look inside
            else:
                end = matching(code, i)
                name = NAME.search(decl) if FUNCTION.search(decl) else None
                name = name.group(1) if name else 'lambda' if FUNCTION.search(decl) and '](' in decl else None
                if name:
                    start = head + len(decl) - len(decl.lstrip())
                    found.append((name, code.count('\n', 0, start) + 1, code.count('\n', 0, end) + 1))
                i, head = end, end + 1
        i += 1
    return found


def matching(code, i):
    depth = 0
    for j in range(i, len(code)):
        depth += {'{': 1, '}': -1}.get(code[j], 0)
        if depth == 0:
            return j
    return len(code) - 1


def python_functions(text):
    return [(n.name, n.lineno, n.end_lineno) for n in ast.walk(ast.parse(text))
            if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))]


def shell_functions(text):
    lines, found = text.split('\n'), []
    for k, line in enumerate(lines):
        m = re.match(r'(\s*)(\w+)\s*\(\)\s*\{\s*(#.*)?$', line)
        end = next((e for e in range(k + 1, len(lines)) if m and lines[e] == m.group(1) + '}'), None)
        if end is not None:
            found.append((m.group(2), k + 1, end + 1))
    return found


def nasm_functions(text):
    """Functions (a global label, KERNEL_BEGIN or GLOBAL_FUNCTION, to the
    last instruction before the next function, section, global or
    conditional-assembly line at the margin) and macros."""
    lines, found = text.split('\n'), []
    names = set(re.findall(r'^\s*global\s+(?:\w+\()?(\w+)', text, re.M))
    begin = re.compile(r'^(?:\w+\()?(\w+)\)?:|^\s*(?:KERNEL_BEGIN|GLOBAL_FUNCTION)\s+(\w+)')
    stop = re.compile(r'^\s*(?:KERNEL_BEGIN|GLOBAL_FUNCTION|section|global|%macro)\b|^(?:\w+\()?\w+\)?:|^%(?:if|elif|else|endif)\b')
    for k, line in enumerate(lines):
        m, macro = begin.match(line), re.match(r'\s*%macro\s+(\w+)', line)
        if macro:
            end = next((e for e in range(k, len(lines)) if re.match(r'\s*%endmacro', lines[e])), k)
            found.append((macro.group(1), k + 1, end + 1))
        elif m and (m.group(2) or m.group(1) in names):
            end = k
            for e in range(k + 1, len(lines)):
                if stop.match(lines[e]):
                    break
                if lines[e].split(';')[0].strip():
                    end = e
            found.append((m.group(1) or m.group(2), k + 1, end + 1))
    return found


def reader(path):
    if path.endswith('.asm') and os.path.basename(os.path.dirname(os.path.abspath(path))) != 'kernels':
        return nasm_functions
    if re.search(r'\.(c|cc|cpp|h|hpp|inc)$', path) and not path.endswith('.asm'):
        return cpp_functions
    if path.endswith('.py'):
        return python_functions
    with open(path, 'rb') as f:
        first = f.readline()
    return shell_functions if path.endswith('.sh') or re.match(rb'#!.*\b(ba)?sh\b', first) else None


def main(root):
    long = []
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if not d.startswith(('.', 'build')))
        for name in sorted(files):
            path = os.path.join(folder, name)
            read = reader(path) if os.path.isfile(path) else None
            if read:
                with open(path, encoding='utf-8', errors='replace') as f:
                    for fn, first, last in read(f.read()):
                        if last - first + 1 > LIMIT:
                            long.append(f'{os.path.relpath(path, root)}:{first}: {fn} ({last - first + 1} lines)')
    print('\n'.join(long) if long else f'no function over {LIMIT} lines')
    return 1 if long else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else '.'))
