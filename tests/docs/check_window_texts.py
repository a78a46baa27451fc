#!/usr/bin/env python3
"""Checks that the user guide's list of window texts matches the sources.

The window's texts for the user are the string literals of app/*.cpp that
hold a Chinese character (the window speaks Simplified Chinese only), minus
those that are not said to the user but label something: the captions and
initial texts of the controls, the window's and the boxes' titles, the file
dialog's filter and the date units of the file grid. The status line's first
text is kept (it is the status label's initial caption). To them come the
error box's own fallback text (app/Application.cpp) and the serial
component's error messages in all three languages (comm/EComm32Error.cpp),
which the box of a port that cannot be opened, and the error box, include.

The guide lists each text as a code span holding the literal with its double
quotes, exactly as in the source (escapes such as \\r\\n included), between
the markers <!-- window-texts --> and <!-- /window-texts -->. The check fails,
naming the text, when a text of the sources is missing from that list, or the
list quotes a text the sources no longer have.

  check_window_texts.py [--root DIR] [--guide FILE] [--list] [--self-test]
"""

import argparse
import re
import sys
from pathlib import Path

BEGIN_MARK = "<!-- window-texts -->"
END_MARK = "<!-- /window-texts -->"

# Calls whose literal arguments label a control rather than tell the user
# something.
CAPTION_CALLS = {"MakeGroup", "MakeButton", "MakeEdit", "MakeLabel", "setWindowTitle"}
# The one label whose text is a message: the status line.
STATUS_LABEL = "Label1"
# Functions whose literals are not messages: the title of the boxes, and the
# date units of the file grid's creation time.
NON_MESSAGE_FUNCTIONS = {"ApplicationTitle", "CreatedText"}
# Statements that define captions or the file filter, by a name they hold.
NON_MESSAGE_NAME = re.compile(r"Caption$|^Filter$")

# The serial component's tables: three languages, 14 codes and a default each.
COMM_TEXT_COUNT = 3 * 15


class Literal:
    def __init__(self, text, calls, functions, statement, frame_ids):
        self.text = text  # as written in the source, without the quotes
        self.calls = calls  # names of the calls the literal is an argument of
        self.functions = functions  # names of the enclosing blocks' functions
        self.statement = statement  # identifiers of its statement so far
        self.frame_ids = frame_ids  # ids of the enclosing call frames


def string_literals(source):
    """Every string literal of a C++ source with its syntactic context.

    Comments, character literals and raw strings are understood; adjacent
    literals are joined as the compiler joins them."""
    literals = []
    frame_literals = {}  # call frame id -> literal texts directly or deeper inside
    stack = []  # ("call", name, id) or ("block", function name, None)
    statement = []
    last_ident = None
    last_closed_call = None
    previous_was_string = False
    prev = None  # the last token: a punctuation character, "ident", "return", "init{"
    next_id = 0
    i, n = 0, len(source)
    while i < n:
        c = source[i]
        if source.startswith("//", i):
            end = source.find("\n", i)
            i = n if end < 0 else end
            continue
        if source.startswith("/*", i):
            end = source.find("*/", i + 2)
            i = n if end < 0 else end + 2
            continue
        if c == "#" and source[source.rfind("\n", 0, i) + 1:i].strip() == "":
            # A preprocessor line (an #include names a file, not a text).
            while i < n and source[i] != "\n":
                i += 2 if source[i] == "\\" else 1
            continue
        raw = re.match(r'(?:u8|u|U|L)?R"([^()\\ ]{0,16})\(', source[i:])
        if raw:
            close = ")" + raw.group(1) + '"'
            start = i + raw.end()
            end = source.find(close, start)
            text, i = source[start:end], end + len(close)
            previous_was_string = _add_literal(literals, frame_literals, text, stack, statement,
                                               previous_was_string)
            continue
        if c == '"':
            j = i + 1
            while j < n and source[j] != '"':
                j += 2 if source[j] == "\\" else 1
            text, i = source[i + 1:j], j + 1
            previous_was_string = _add_literal(literals, frame_literals, text, stack, statement,
                                               previous_was_string)
            continue
        previous_was_string = previous_was_string and c.isspace()
        if c == "'":
            j = i + 1
            while j < n and source[j] != "'":
                j += 2 if source[j] == "\\" else 1
            i = j + 1
            continue
        if c.isdigit():
            i = re.match(r"[0-9][0-9A-Za-z_.']*", source[i:]).end() + i
            continue
        if c.isalpha() or c == "_":
            word = re.match(r"[A-Za-z_][A-Za-z0-9_]*", source[i:]).group(0)
            i += len(word)
            if word in ("u8", "u", "U", "L") and i < n and source[i] == '"':
                continue  # an encoding prefix: the literal follows
            last_ident = word
            statement.append(word)
            prev = "return" if word == "return" else "ident"
            continue
        if c == "(":
            stack.append(("call", last_ident, next_id))
            frame_literals[next_id] = []
            next_id += 1
        elif c == ")":
            while stack and stack[-1][0] != "call":
                stack.pop()
            if stack:
                last_closed_call = stack.pop()[1]
        elif c == "{" and (prev in ("=", ",", "(", "init{", "return") or (stack and stack[-1][0] == "init")):
            # A braced initializer: part of its statement.
            stack.append(("init", None, None))
        elif c == "{":
            stack.append(("block", last_closed_call, None))
            statement = []
            last_closed_call = None
        elif c == "}":
            while stack and stack[-1][0] == "call":
                stack.pop()
            closed = stack.pop()[0] if stack else "block"
            if closed == "block":
                statement = []
                last_closed_call = None
        elif c == ";":
            statement = []
            last_closed_call = None
        elif c == "=":
            statement.append("=")
        if not c.isspace():
            last_ident = None if c in "(){};,=" else last_ident
            prev = "init{" if c == "{" and stack and stack[-1][0] == "init" else c
        i += 1
    return literals, frame_literals


def _add_literal(literals, frame_literals, text, stack, statement, join):
    if join and literals:
        literals[-1].text += text
        for frame_id in literals[-1].frame_ids:
            frame_literals[frame_id][-1] = literals[-1].text
        return True
    calls = [name for kind, name, _ in stack if kind == "call"]
    frame_ids = [frame_id for kind, _, frame_id in stack if kind == "call"]
    functions = [name for kind, name, _ in stack if kind == "block"]
    literals.append(Literal(text, calls, functions, list(statement), frame_ids))
    for frame_id in frame_ids:
        frame_literals[frame_id].append(text)
    return True


def has_non_ascii(text):
    return any(ord(ch) > 0x7F for ch in text)


def declared_names(statement):
    """The identifiers before the first '=' of a statement."""
    return statement[: statement.index("=")] if "=" in statement else []


def window_texts(root):
    """{text: [where, ...]} of every text the window can show the user."""
    texts = {}

    def add(text, where):
        texts.setdefault(text, []).append(where)

    for path in sorted((root / "app").glob("*.cpp")):
        literals, frame_literals = string_literals(path.read_text(encoding="utf-8"))
        for lit in literals:
            where = f"{path.relative_to(root)}"
            if path.name == "Application.cpp":  # the error box: every literal of its function
                if "ShowCurrentException" in lit.functions:
                    add(lit.text, where)
                continue
            if not has_non_ascii(lit.text):
                continue
            if set(lit.functions) & NON_MESSAGE_FUNCTIONS:
                continue
            if any(NON_MESSAGE_NAME.search(name) for name in declared_names(lit.statement)):
                continue
            caption_frames = [fid for name, fid in zip(lit.calls, lit.frame_ids) if name in CAPTION_CALLS]
            if caption_frames and not any(STATUS_LABEL in frame_literals[fid] for fid in caption_frames):
                continue
            add(lit.text, where)

    comm = root / "comm" / "EComm32Error.cpp"
    literals, _ = string_literals(comm.read_text(encoding="utf-8"))
    comm_texts = [lit.text for lit in literals
                  if any(re.match(r"k[A-Z]", name) for name in declared_names(lit.statement))]
    if len(comm_texts) != COMM_TEXT_COUNT:
        raise SystemExit(f"check_window_texts: found {len(comm_texts)} serial error texts in {comm}, "
                         f"expected {COMM_TEXT_COUNT}: the extraction rule no longer fits the tables")
    for text in comm_texts:
        add(text, str(comm.relative_to(root)))
    return texts


def guide_texts(guide_text):
    """The texts the guide's list quotes."""
    begin, end = guide_text.find(BEGIN_MARK), guide_text.find(END_MARK)
    if begin < 0 or end < begin:
        raise SystemExit(f"check_window_texts: the guide has no list between {BEGIN_MARK} and {END_MARK}")
    section = guide_text[begin + len(BEGIN_MARK):end]
    return set(re.findall(r'`"(.*?)"`', section))


def compare(code, listed):
    """The problems found, one line each."""
    problems = []
    for text in sorted(set(code) - listed):
        problems.append(f'missing from the guide: "{text}" ({", ".join(sorted(set(code[text])))})')
    for text in sorted(listed - set(code)):
        problems.append(f'listed in the guide but not in the sources: "{text}"')
    return problems


def self_test(root, guide_text):
    """The check must catch a text dropped from the list and one too many."""
    code = window_texts(root)
    listed = guide_texts(guide_text)
    failures = []
    # Each kind of text once: a window text, a text built in parts, a serial
    # error text, the error box's fallback.
    for sample in ("删除完毕！", "\\r\\n可能该串口不存在或正在使用中！", "不能打開埠", "Unknown error"):
        if sample not in code:
            failures.append(f'self-test: the extraction misses "{sample}"')
            continue
        crippled = guide_text.replace(f'`"{sample}"`', "")
        problems = compare(code, guide_texts(crippled))
        if not any(sample in p and p.startswith("missing") for p in problems):
            failures.append(f'self-test: dropping "{sample}" from the guide went unnoticed')
    extra = guide_text.replace(END_MARK, '`"这条提示已经不存在"`\n' + END_MARK)
    if not any("这条提示已经不存在" in p for p in compare(code, guide_texts(extra))):
        failures.append("self-test: a listed text the sources lack went unnoticed")
    # Labels are not messages: a caption must not be demanded.
    for caption in ("打开串口", "串行端口", "选择固件文件路径，升级前请关闭接收机！", "年"):
        if caption in code:
            failures.append(f'self-test: the caption "{caption}" was taken for a message')
    if "请先打开对应串口！" not in code:
        failures.append("self-test: the status line's first text was not taken")
    if not failures and compare(code, listed):
        failures.append("self-test: the guide does not pass the check itself")
    return failures


def main():
    here = Path(__file__).resolve()
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", type=Path, default=here.parents[2])
    parser.add_argument("--guide", type=Path)
    parser.add_argument("--list", action="store_true", help="print the texts found in the sources")
    parser.add_argument("--self-test", action="store_true", help="check that the check catches faults")
    args = parser.parse_args()
    root = args.root.resolve()
    guide = args.guide or root / "docs" / "user-guide.md"
    guide_text = guide.read_text(encoding="utf-8")

    if args.self_test:
        failures = self_test(root, guide_text)
        for f in failures:
            print(f, file=sys.stderr)
        if not failures:
            print("check_window_texts: self-test passed")
        return 1 if failures else 0

    code = window_texts(root)
    if args.list:
        for text in sorted(code):
            print(f'"{text}"')
        return 0
    problems = compare(code, guide_texts(guide_text))
    for p in problems:
        print(f"{guide}: {p}", file=sys.stderr)
    if problems:
        return 1
    print(f"check_window_texts: all {len(code)} window texts are in {guide.name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
