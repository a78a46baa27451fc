#!/usr/bin/env python3
"""Checks that the user guide's list of window texts matches the sources.

The window's texts for the user are the string literals of app/*.cpp and
receiver/*.cpp (the protocol steps the window shares) that hold a Chinese
character (the window speaks Simplified Chinese only), minus those that are
not said to the user but label something: the captions and
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

# A string literal, and a literal or a line comment (to drop the comment).
LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
LITERAL_OR_COMMENT = re.compile(r'("(?:[^"\\\n]|\\.)*")|//.*')
# Lines whose literals label something rather than tell the user something:
# the controls' captions and initial texts, the window's and the boxes'
# titles, caption constants and the file dialog's filter. The status line's
# first text (Label1) is a message all the same.
CAPTION_LINE = re.compile(r"\bMake(?:Group|Button|Edit|Label)\(|setWindowTitle\(|Caption = |\bFilter = |"
                          r"\bApplicationTitle\(\) \{")
STATUS_LABEL = '"Label1"'
# The date units of the file grid's creation time.
DATE_UNITS = {"年", "月", "日", "时", "分"}
# The serial component's tables: a row {code, "text"} or a table's default.
COMM_TEXT_LINE = re.compile(r'\{ec\w+, "|k\w+Default = "')
# The serial component's tables: three languages, 14 codes and a default each.
COMM_TEXT_COUNT = 3 * 15


def code_lines(path):
    """The lines of a C++ source without its comments (the sources use // only)."""
    for line in path.read_text(encoding="utf-8").splitlines():
        if not line.lstrip().startswith("#"):  # an #include names a file, not a text
            yield LITERAL_OR_COMMENT.sub(lambda m: m.group(1) or "", line)


def has_non_ascii(text):
    return any(ord(ch) > 0x7F for ch in text)


def window_texts(root):
    """{text: [where, ...]} of every text the window can show the user."""
    texts = {}

    def add(text, where):
        texts.setdefault(text, []).append(where)

    sources = sorted((root / "app").glob("*.cpp")) + sorted((root / "receiver").glob("*.cpp"))
    for path in sources:
        where = str(path.relative_to(root))
        for line in code_lines(path):
            if CAPTION_LINE.search(line) and STATUS_LABEL not in line:
                continue
            for text in LITERAL.findall(line):
                if path.name == "Application.cpp":  # the error box's own text
                    if "text = " in line:
                        add(text, where)
                elif has_non_ascii(text) and text not in DATE_UNITS:
                    add(text, where)

    comm = root / "comm" / "EComm32Error.cpp"
    comm_texts = [text for line in code_lines(comm) if COMM_TEXT_LINE.search(line) for text in LITERAL.findall(line)]
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
