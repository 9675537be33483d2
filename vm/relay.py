"""After a virtual-board run: hands the guest program's output to the host's
standard output and error, records the boot's flash operations, and answers
the run's exit status.

relay.py CONSOLE OUT LAST_RUN OUTCOME TIMEOUT CUT_AT
  CONSOLE   the console's bytes (kernel messages, markers, standard error)
  OUT       the second serial line's bytes (the program's standard output)
  OUTCOME   ended | cut (killed on the cut marker) | timeout
"""
import re
import sys

MARK = b"<<mfpvm>> "
CUT = re.compile(rb"<<mfpvm>> cut (write|erase) (0x[0-9a-f]+) (\w+) (\d+) programs (\d+) erases (\d+)")
EXIT = re.compile(rb"<<mfpvm>> exit (\d+) programs (\d+) erases (\d+)")


def console_tail(console, lines=30):
    text = console.decode("utf-8", "replace").replace("\r", "")
    return "\n".join(text.rstrip("\n").split("\n")[-lines:])


def program_stderr(console):
    """The bytes between the start marker and the exit (or cut) marker, each
    marker taken out up to its line's end."""
    start = console.find(MARK + b"start\n")
    if start < 0:
        return b""
    body = console[start + len(MARK) + len(b"start\n"):]
    end = body.find(MARK + b"exit ")
    if end >= 0:
        body = body[:end]
    return re.sub(rb"<<mfpvm>> cut [^\n]*\n?", b"", body)


def main():
    console_path, out_path, last_run, outcome, timeout, cut_at = sys.argv[1:7]
    with open(console_path, "rb") as f:
        console = f.read()
    with open(out_path, "rb") as f:
        out = f.read()
    sys.stdout.buffer.write(out)
    sys.stdout.buffer.flush()
    sys.stderr.buffer.write(program_stderr(console))
    sys.stderr.buffer.flush()

    cut = CUT.search(console)
    done = EXIT.search(console)
    counts = cut or done
    if counts:
        programs, erases = counts.group(counts.lastindex - 1), counts.group(counts.lastindex)
        with open(last_run, "w") as f:
            f.write("programs %s\nerases %s\n" % (programs.decode(), erases.decode()))
    if cut:
        what, offset, mode, salt = (g.decode() for g in cut.groups()[:4])
        print("vm: power cut at %s %s (tear %s, salt %s)" % (what, offset, mode, salt), file=sys.stderr)
        return 200
    if outcome == "timeout":
        print("vm: the guest did not power off within %s s; the end of its console:" % timeout, file=sys.stderr)
        print(console_tail(console), file=sys.stderr)
        return 201
    if done:
        if cut_at != "0":
            ops = int(done.group(2)) + int(done.group(3))
            print("vm: no power cut (%d operations)" % ops, file=sys.stderr)
        return int(done.group(1))
    print("vm: the guest did not come up; the end of its console:", file=sys.stderr)
    print(console_tail(console), file=sys.stderr)
    return 201


if __name__ == "__main__":
    sys.exit(main())
