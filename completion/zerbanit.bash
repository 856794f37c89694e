# bash completion for chipburn, chipdump and chipverify. bash-completion
# loads a command's completion from a file of the command's name: this
# script is installed as chipburn, with chipdump and chipverify links to it.

# SIZE of the byte-wide EPROMs, 2716 to 27C080, in hexadecimal as the
# programs take it.
_zerbanit_sizes='800 1000 2000 4000 8000 10000 20000 40000 80000 100000'

# The sizes in the table's order, 800 to 100000, not as text sorts them:
# -o nosort, where bash has it (4.4 and later), for these words alone, so
# that file names are still sorted.
_zerbanit_sizes_offered() {
  compopt -o nosort 2>/dev/null
  mapfile -t COMPREPLY < <(compgen -W "$_zerbanit_sizes" -- "$1")
}

_zerbanit() {
  local word=${COMP_WORDS[COMP_CWORD]} program=${COMP_WORDS[0]##*/}
  local options='--help --version'
  [ "$program" = chipverify ] && options="--blank $options"
  COMPREPLY=()
  # --format and --at, each with its value in the next word, come before
  # IMAGE (chipdump: --format before OUTPUT) in any order; the arguments are
  # counted from the first word after them. --help, --version and --blank
  # stand alone as the first word.
  local takes=' --format --at ' first=1
  [ "$program" = chipdump ] && takes=' --format '
  while ((first < COMP_CWORD)) && [[ $takes == *" ${COMP_WORDS[first]} "* ]]; do
    if ((first + 1 == COMP_CWORD)); then
      [ "${COMP_WORDS[first]}" = --format ] &&
        mapfile -t COMPREPLY < <(compgen -W 'raw ihex srec' -- "$word")
      return 0
    fi
    takes=${takes/" ${COMP_WORDS[first]} "/ }
    first=$((first + 2))
  done
  ((first > 1)) && options=
  options="$takes $options"
  case $program:$((COMP_CWORD - first + 1)) in
    *:1)
      if [[ $word == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$word")
      else
        mapfile -t COMPREPLY < <(compgen -f -- "$word")
      fi ;;
    chipdump:2)
      _zerbanit_sizes_offered "$word" ;;
    chipverify:2)
      [ "${COMP_WORDS[1]}" = --blank ] && _zerbanit_sizes_offered "$word" ;;
  esac
  return 0
}

# -o filenames: a folder gets its slash, and a name is quoted as the shell needs.
complete -o filenames -F _zerbanit chipburn chipdump chipverify
