"""Fails unless every import of FTD2XX.dll is by ordinal, one of the nine
driver calls, and each program imports exactly the calls it makes."""
import subprocess
import sys

NINE = {2: "FT_Close", 3: "FT_Read", 4: "FT_Write", 7: "FT_SetBaudRate", 16: "FT_Purge", 27: "FT_OpenEx",
        31: "FT_SetBitMode", 63: "FT_StopInTask", 64: "FT_RestartInTask"}
READER = {27, 7, 31, 63, 16, 64, 3, 2}
NEEDS = {"chipburn": {27, 7, 31, 63, 4, 2}, "chipdump": READER, "chipverify": READER}


def driver_imports(objdump, exe):
    """(ordinal or None, name or None) for each FTD2XX.dll entry of the import table."""
    text = subprocess.run([objdump, "-p", exe], check=True, capture_output=True, text=True).stdout
    entries, inside = [], False
    for line in text.splitlines():
        if line.strip().startswith("DLL Name:"):
            inside = line.split(":", 1)[1].strip().lower() == "ftd2xx.dll"
        elif inside and line.startswith("\t") and not line.strip().startswith("vma:"):
            fields = line.split()
            if not fields:
                continue
            thunk = int(fields[0], 16)
            by_ordinal = thunk & 0x80000000
            entries.append((int(fields[1]) if by_ordinal else None, None if by_ordinal else fields[-1]))
        elif inside and not line.strip():
            inside = False
    return entries


def main():
    objdump, exes = sys.argv[1], sys.argv[2:]
    problems = []
    for exe in exes:
        program = next(p for p in NEEDS if p in exe.rsplit("/", 1)[-1])
        entries = driver_imports(objdump, exe)
        ordinals = {o for o, _ in entries if o is not None}
        problems += [f"{exe}: imports {name} by name" for o, name in entries if o is None]
        problems += [f"{exe}: imports ordinal {o}, not one of the nine" for o in ordinals - NINE.keys()]
        problems += [f"{exe}: does not import {NINE[o]} (@{o})" for o in NEEDS[program] - ordinals]
        problems += [f"{exe}: imports {NINE[o]} (@{o}), which it never calls" for o in ordinals & NINE.keys() - NEEDS[program]]
        print(f"{exe}: FTD2XX.dll ordinals {sorted(ordinals)}")
    print("\n".join(problems) or "all imports of FTD2XX.dll are by ordinal, and each program's are the calls it makes")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
