#!/usr/bin/env bash
# The bash completion as installed: each program's file sourced on its own,
# its function called as bash calls it at a prompt, and the words bash would
# show compared with the words wanted, in their order: COMPREPLY's order
# where the function asked for -o nosort, else sorted.
#   completion.sh DIR     DIR holds the files chipburn, chipdump and chipverify
set -u
dir=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/folder" && cd "$work/folder" && touch image.bin image.hex rom.bin && mkdir roms

files='image.bin image.hex rom.bin roms'
sizes='800 1000 2000 4000 8000 10000 20000 40000 80000 100000'
# The command line up to the cursor, its last word the one completed | the words wanted
cases=(
  "chipburn ''                     | $files"
  "chipburn im                     | image.bin image.hex"
  "chipburn -                      | --at --format --help --version"
  "chipburn --v                    | --version"
  "chipburn image.bin ''           | "
  "chipburn --format ''            | ihex raw srec"
  "chipburn --format s             | srec"
  "chipburn --at ''                | "
  "chipburn --at 0 ''              | $files"
  "chipburn --format ihex -        | --at"
  "chipburn --at 0 --format ihex - | "
  "chipburn --at 0 --format ihex im | image.bin image.hex"
  "chipburn --format ihex --at 0 image.hex '' | "
  "chipdump r                      | rom.bin roms"
  "chipdump -                      | --format --help --version"
  "chipdump --format ''            | ihex raw srec"
  "chipdump --format ihex -        | "
  "chipdump --format ihex r        | rom.bin roms"
  "chipdump --format ihex rom.hex '' | $sizes"
  "chipdump --format srec rom.s19 8000 '' | "
  "chipdump rom.bin ''             | $sizes"
  "chipdump rom.bin 1              | 1000 10000 100000"
  "/usr/bin/chipdump rom.bin 8     | 800 8000 80000"
  "chipdump rom.bin 8000 ''        | "
  "chipverify ''                   | $files"
  "chipverify -                    | --at --blank --format --help --version"
  "chipverify --at 0 -             | --format"
  "chipverify --at ''              | "
  "chipverify --format r           | raw"
  "chipverify --format srec --at 100 im | image.bin image.hex"
  "chipverify --format ihex image.hex '' | "
  "chipverify --b                  | --blank"
  "chipverify --blank ''           | $sizes"
  "chipverify --blank 2            | 2000 20000"
  "chipverify image.bin ''         | "
  "chipverify --help ''            | "
)

sorted() { tr ' ' '\n' | grep -v '^$' | sort | tr '\n' ' '; }
words() { tr -s ' ' '\n' | grep -v '^$' | tr '\n' ' '; }

for program in chipburn chipdump chipverify; do
  # A subshell per file: each must register its own program.
  (
    # shellcheck source=/dev/null
    source "$dir/$program" || exit 1
    # Outside a completion bash has no compopt to give: what the function
    # asks of it is kept instead.
    # shellcheck disable=SC2317  # bash calls it, from the function under test
    compopt() { asked+=" $*"; }
    registered=$(complete -p "$program" 2>&1)
    [[ $registered == *"-o filenames"* ]] || { echo "FAIL $program: registered as [$registered]"; exit 1; }
    function=$(sed -E 's/.* -F ([^ ]+) .*/\1/' <<<"$registered")
    for entry in "${cases[@]}"; do
      line=${entry%%|*}
      line=${line%"${line##*[! ]}"}
      eval "COMP_WORDS=($line)"
      [ "${COMP_WORDS[0]##*/}" = "$program" ] || continue
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
      COMPREPLY=(stale)
      asked=
      "$function"
      if [[ $asked == *"-o nosort"* ]]; then
        got=$(printf '%s ' "${COMPREPLY[@]}" | words)
      else
        got=$(printf '%s ' "${COMPREPLY[@]}" | sorted)
      fi
      want=$(words <<<"${entry#*|}")
      if [ "$got" != "$want" ]; then
        echo "FAIL $line: want [$want], got [$got]"
      else
        echo "ok   $line"
      fi
    done
  )
done >"$work/results"
cat "$work/results"
passed=$(grep -c '^ok ' "$work/results")
echo "completion: $passed of ${#cases[@]} cases passed"
[ "$passed" -eq ${#cases[@]} ]
