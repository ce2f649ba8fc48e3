"""Checks that the extension modules in aarch64 wheels hold no maximum or minimum instruction.

The model states every limit as a comparison and a select (`h > 0.2 ? h : 0.2`). A
compiler may lower such a select to the machine's maximum or minimum where it
believes them equal: on aarch64 clang takes fmaxnm and fminnm (IEEE maxNum and
minNum), which return a signalling NaN, quieted, where the comparison gives the
limit, and fmax and fmin return any NaN. No code of ours needs these instructions,
and none of the libraries linked in (libc++, libbacktrace, libgcc) uses them, so
any one of them, scalar or vector, anywhere in a module fails the check.

x86-64 needs no such check: its maxsd and minsd return the second operand whenever
either one is a NaN, signalling or quiet, so `a > b ? a : b` compiled as
`maxsd a, b` is the comparison itself; the compiler keeps the operands in the
order the comparison states (it must, as maxsd is not commutative).

Usage: check_instructions.py OBJDUMP WHEEL...   (OBJDUMP: one that reads aarch64 code)
"""

import re
import subprocess
import sys

from modules import extension_modules

# fmax, fmin, fmaxnm, fminnm and their pairwise (p) and across-vector (v) forms
FORBIDDEN = re.compile(r"f(?:max|min)(?:nm)?[pv]?")
FUNCTION = re.compile(r"^[0-9a-f]+ <(.+)>:$")
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+([a-z][a-z0-9.]*)")


def findings(objdump, module):
    """The instruction count and (address, mnemonic, function) of each forbidden instruction."""
    out = subprocess.run([objdump, "--disassemble", "--no-show-raw-insn", "--demangle",
                          str(module)], check=True, capture_output=True, text=True).stdout
    function, count, found = "?", 0, []
    for line in out.splitlines():
        if match := FUNCTION.match(line):
            function = match.group(1)
        elif match := INSTRUCTION.match(line):
            count += 1
            if FORBIDDEN.fullmatch(match.group(2)):
                found.append((match.group(1), match.group(2), function))
    return count, found


def main(objdump, wheels):
    failed = False
    for module in extension_modules(wheels):
        if module is None:
            failed = True
            continue
        count, found = findings(objdump, module)
        print(f"  {module.name}: {count} instructions, {len(found)} maximum or minimum")
        for address, mnemonic, function in found:
            print(f"    {mnemonic} at 0x{address} in {function}")
        failed = failed or count == 0 or bool(found)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2:]) if len(sys.argv) > 2 else __doc__)
