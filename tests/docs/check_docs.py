#!/usr/bin/python3
"""Keeps the documentation true to the programs.

  check_docs.py man SOURCE BUILD        each man page, as the build copies it for install, lints
      clean; as written, it names the project's version, as each tool's --version and NEWS's
      newest heading do, in its footer and wherever it gives a program's version; its SYNOPSIS
      is the program's --help usage lines, its options exactly the --help ones, each accepted,
      an unknown one refused with a documented status; its exit statuses those --help names
      (the daemon, which has no --help: those it exits with); the daemon's DIAGNOSTICS an entry
      for each text of its own (daemon/messages.h)
  check_docs.py commands SOURCE BUILD   each command in README.md, docs/ and the man pages'
      examples names only scripts, files, suites, CMake settings and options that exist; each
      link between the pages reaches a file and a heading; a page that uses build/ shows or
      links to the line that makes it; the whole peer in C in docs/tools.md compiles as strict
      C99 against the record's header as installed
"""
import os, re, shlex, shutil, subprocess, sys, tempfile
from pathlib import Path

mode, source, build = sys.argv[1], Path(sys.argv[2]).resolve(), Path(sys.argv[3]).resolve()
PAGES = {  # program: (man page, built program)
    "velmKortd": ("daemon/velmKortd.8", "daemon/velmKortd"),
    "velmKort-logpipe": ("logpipe/velmKort-logpipe.8", "logpipe/velmKort-logpipe"),
    "velmKort-inject": ("tools/inject/velmKort-inject.1", "tools/velmKort-inject"),
    "velmKort-peer": ("tools/peer/velmKort-peer.1", "tools/velmKort-peer"),
}
VERSION = re.search(r"^project\(velmKortd VERSION (\S+)", (source / "CMakeLists.txt").read_text(),
                    re.M)[1]
failures = []


def run(argv, **kw):
    return subprocess.run(argv, capture_output=True, text=True, timeout=60, **kw)


def help_of(program):
    """The options --help lists (its indented option lines) and the exit statuses it names."""
    text = run([str(build / PAGES[program][1]), "--help"]).stdout
    options = {o for line in re.findall(r"^  (-.*?)(?:  |$)", text, re.M)
               for o in re.findall(r"--?\w[\w-]*", line)}
    statuses = set(re.findall(r"\b\d+\b", text.partition("Exit status:")[2]))
    return options, statuses


def built_page(program):
    return build / "man" / Path(PAGES[program][0]).name


def man_page(program):
    page = built_page(program).read_text()
    listed = {"-" + f: " Ar " in line for line in re.findall(r"^\.It (Fl .*)", page, re.M)
              for f in re.findall(r"\bFl (\S+)", line)}  # option: whether it takes a value
    synopsis = {"-" + f for f in re.findall(r"\bFl (\S+)",
                                           page.partition(".Sh SYNOPSIS")[2].partition(".Sh")[0])}
    section = page.partition(".Sh EXIT STATUS")[2].partition(".Sh")[0]
    return listed, synopsis, set(re.findall(r"^\.It (\d+)$", section, re.M))


def synopses(text, program):
    """Each command line, in lower case, a line not starting with the program continuing one."""
    found = []
    for words in (line.split() for line in text.splitlines()):
        if words[:1] == [program]:
            found.append(words)
        elif found:
            found[-1] += words
    return [" ".join(words).lower() for words in found]


def check_synopsis(program):
    page = re.sub(".\b", "", run(["mandoc", "-T", "ascii", "-O", "width=200",
                                   str(built_page(program))]).stdout)
    page = synopses(page.partition("\nSYNOPSIS\n")[2].partition("\nDESCRIPTION")[0], program)
    usage = run([str(build / PAGES[program][1]), "--help"]).stdout.partition("Usage: ")[2]
    usage = synopses(re.match(r".*\n(?:\s.*\n)*", usage)[0], program)
    if page != usage or not page:
        failures.append(f"{PAGES[program][0]}: SYNOPSIS {page} is not --help's usage {usage}")


def daemon_statuses(documented):
    """The daemon's exit at a failed start-up and at an orderly stop, in a private /tmp."""
    if run(["unshare", "-m", "true"]).returncode:
        print("velmKortd's exit statuses not tried: a mount namespace needs root")
        return documented
    script = """mount -t tmpfs velm-tmp /tmp
    ZEL_STANDIN_INIT=7 "$1" >/dev/null; echo $?
    "$1" >/dev/null & i=0
    until [ -S /tmp/zelStandinSocket ] || [ $i -gt 300 ]; do sleep 0.1; i=$((i + 1)); done
    "$2" --stop; wait $!; echo $?"""
    result = run(["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh",
                  str(build / PAGES["velmKortd"][1]), str(build / PAGES["velmKort-inject"][1])])
    return set(result.stdout.split())


def check_diagnostics():
    page = PAGES["velmKortd"][0]
    section = (source / page).read_text().partition(".Sh DIAGNOSTICS")[2].partition(".Sh")[0]
    entries = "\n".join(re.findall(r"^\.It (.*)", section, re.M))
    texts = re.findall(r'constexpr char k\w+\[\] = "(.*?)(?:\\n)?";',
                       (source / "daemon/messages.h").read_text())
    if not texts:
        failures.append("daemon/messages.h: no text read from it")
    for text in (t for t in texts if t not in entries):
        failures.append(f"{page}: DIAGNOSTICS has no entry for the daemon's text {text!r}")


def check_man():
    check_diagnostics()
    newest = re.search(r"^\d+\.\d+\.\d+$", (source / "NEWS").read_text(), re.M)
    if not newest or newest[0] != VERSION:
        failures.append(f"NEWS: the newest heading is {newest and newest[0]}, not {VERSION}")
    if not shutil.which("mandoc"):
        sys.exit("mandoc is not installed (apt-get install mandoc)")
    for program, (page, binary) in PAGES.items():
        lint = run(["mandoc", "-T", "lint", "-W", "warning", str(built_page(program))])
        if lint.returncode or lint.stdout or lint.stderr:
            failures.append(f"{page}: mandoc -T lint: {lint.stdout}{lint.stderr}")
        text = (source / page).read_text()
        said = set(re.findall(r"\bvelmKort[\w-]* (\d+\.\d+\.\d+|@\w+@)", text))
        if f"\n.Os velmKortd {VERSION}\n" not in text or said != {VERSION}:
            failures.append(f"{page}: the footer (.Os) or a version given ({sorted(said)}) is "
                            f"not velmKortd {VERSION}")
        listed, synopsis, statuses = man_page(program)
        binary = str(build / binary)
        if program == "velmKortd":
            options, actual = set(), daemon_statuses(statuses)
        else:
            options, actual = help_of(program)
            check_synopsis(program)
            said = run([binary, "--version"])
            if (said.returncode, said.stdout) != (0, f"{program} {VERSION}\n"):
                failures.append(f"{program} --version: status {said.returncode}, {said.stdout!r}")
            for option, takes_value in sorted(listed.items()):  # "1" serves as every value
                argv = [binary, option] + ["1"] * takes_value + ["--help"]
                if run(argv, cwd=tempfile.gettempdir()).returncode:
                    failures.append(f"{program} refuses its documented {option}")
            if str(run([binary, "--no-such-option"]).returncode) not in statuses:
                failures.append(f"{program} --no-such-option: an undocumented exit status")
        for what, docs, real in (("options", set(listed) | synopsis, options),
                                 ("exit statuses", statuses, actual)):
            if docs != real:
                failures.append(f"{page}: {what} documented but not in {program}: "
                                f"{sorted(docs - real)}; in {program} but not documented: "
                                f"{sorted(real - docs)}")


def commands_of(path):
    """Each command line of the file's sh blocks, text blocks' `$ ` lines and man examples."""
    text, lines = path.read_text(), []
    if path.suffix == ".md":
        for lang, body in re.findall(r"^```(\w*)\n(.*?)^```", text, re.M | re.S):
            if not lang:
                failures.append(f"{path.name}: a code block without a language")
            body = body.replace("\\\n", " ")
            lines += body.splitlines() if lang == "sh" else re.findall(r"^\$ (.*)", body, re.M)
    else:
        lines = re.findall(r"^\.Dl (.*)", text, re.M)
        lines += sum((b.splitlines() for b in re.findall(r"^\.Bd -literal.*?\n(.*?)^\.Ed",
                                                           text, re.M | re.S)), [])
    return [line for line in lines if not line.lstrip().startswith("#")]


def code_of_tree():
    """Every file's text but the documentation's and the build trees'."""
    texts = []
    for top, dirs, files in os.walk(source):
        dirs[:] = [d for d in dirs if not d.startswith(("build", ".", "docs"))]
        texts += [Path(top, f).read_text(errors="ignore") for f in files
                  if not f.endswith((".md", ".1", ".8"))]
    return "\n".join(texts)


def check_command(where, line, code, suites):
    lexer = shlex.shlex(line, posix=True, punctuation_chars=True)
    lexer.commenters, tokens = "#", list(lexer)
    command = None
    for token in tokens:
        if token in ("&&", "|", ";", "(", ")", "||"):
            command = None
            continue
        if command is None and re.match(r"\w+=", token):
            name = token.partition("=")[0]
            if name.startswith("VELM_") and not re.search(rf"\b{name}\b", code):
                failures.append(f"{where}: {line}: nothing reads {name}")
            continue
        first, command = command is None, command or token
        for tree, root in (("scripts/", source / "scripts"), ("bench/", source / "bench"),
                           ("cmake/", source / "cmake"), ("build/", build)):  # build/: BUILD
            path = root / token[len(tree):]
            if token.startswith(tree) and "*" not in token and not path.exists() \
                    and not path.with_name(path.name + ".example").exists():
                failures.append(f"{where}: {line}: no {token}")
        name = Path(command).name
        if not first and name in PAGES and token.startswith("-") and token != "-":
            if token not in help_of(name)[0]:
                failures.append(f"{where}: {line}: {name} has no {token}")
        if command == "scripts/test" and not first and token not in suites:
            failures.append(f"{where}: {line}: no suite {token}")
        if name == "cmake" and token.startswith("-DVELM_") and \
                not re.search(rf"\b{token[2:].partition('=')[0]}\b", code):
            failures.append(f"{where}: {line}: no CMake setting {token}")


def check_c_peer():
    """Compiled as tests/tools compiles its C peer, against the header staged as installed."""
    code = re.search(r"^```c\n(.*?int main.*?)^```", (source / "docs/tools.md").read_text(),
                     re.M | re.S)
    cc = re.search(r"^CMAKE_C_COMPILER:\w+=(.*)", (build / "CMakeCache.txt").read_text(), re.M)[1]
    include = [f"-I{d}" for d in (build / "tests/tools/header-stage").glob("**/include")]
    built = run([cc, "-std=c99", "-pedantic", "-Wall", "-Wextra", "-Werror", *include, "-xc",
                 "-c", "-o", os.devnull, "-"], input=code[1] if code else "")
    if not code or not include or built.returncode:
        failures.append(f"tools.md: no whole C peer, or it does not compile:\n{built.stderr}")


def check_commands():
    check_c_peer()
    files = [source / "README.md", *sorted((source / "docs").glob("*.md"))]
    code = code_of_tree()
    usage = run([str(source / "scripts/test"), "--help"]).stdout.partition("Environment:")[0]
    suites = re.findall(r"^  (\S+)  ", usage, re.M) + ["--help", "-h"]
    for path in files + [source / page for page, _ in PAGES.values()]:
        for line in commands_of(path):
            check_command(path.name, line, code, suites)
    for path in files:  # build/ is made by a line the page shows, or by one it links to
        text = path.read_text()
        if re.search(r"(?<![\w./-])build/|(--install|--build|-B) build\b(?!-)", text) and \
                not re.search(r"cmake -S \. -B build |building\.md#building-by-hand", text):
            failures.append(f"{path.name}: uses build/ but neither makes it nor links to how")
    for path in files:
        for target, anchor in re.findall(r"\]\(([^)#:]*)(?:#([^)]*))?\)", path.read_text()):
            file = (path.parent / target) if target else path
            slugs = {re.sub(r"[^\w -]", "", h.lower()).replace(" ", "-")
                     for h in re.findall(r"^#+ (.*)", file.read_text(), re.M)
                     } if file.is_file() else set()
            if not file.exists() or (anchor and anchor not in slugs):
                failures.append(f"{path.name}: a link to {target}#{anchor} goes nowhere")


{"man": check_man, "commands": check_commands}[mode]()
print("\n".join(failures) or f"docs {mode}: as the programs are")
sys.exit(1 if failures else 0)
