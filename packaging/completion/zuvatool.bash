# bash completion for zuvatool: commands, each command's options (read from
# its own --help, so they never fall behind), file names where a file is
# expected, and device paths and serials (from `zuvatool list --json`) where
# a device is selected.

# The commands, from the overview's "Commands:" lines.
_zuvatool_commands() {
  "$1" --help 2>/dev/null | awk '/^Commands:/ { on = 1; next } on && /^  [a-z]/ { print $1 } on && /^$/ { exit }'
}

# "OPTION PLACEHOLDER" for each option of a command's help ("--alt N",
# "--json"); "--vid V --pid P" gives both.
_zuvatool_options() {
  "$1" "$2" --help 2>/dev/null | awk '
    /^Options:/ { on = 1; next }
    on && /^  --/ {
      sub(/^  /, ""); sub(/  .*/, "")
      n = split($0, word, " ")
      for (i = 1; i <= n; i++) {
        if (word[i] !~ /^--/) continue
        value = (i < n && word[i + 1] !~ /^--/) ? word[i + 1] : ""
        print word[i], value
      }
    }'
}

# The "path" or "serial" of every device that zuvatool lists.
_zuvatool_devices() {
  "$1" list --json 2>/dev/null | sed -n 's/.*"event":"device".*"'"$2"'":"\([^"]*\)".*/\1/p'
}

_zuvatool() {
  local cur prev words cword
  if declare -F _init_completion >/dev/null; then
    _init_completion -n = || return
  else
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  fi
  local tool=${words[0]}
  local command=""
  local i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      -*) ;;
      *) command=${words[i]}; break ;;
    esac
  done

  if [[ -z $command ]]; then
    COMPREPLY=($(compgen -W "$(_zuvatool_commands "$tool") help --help --help-all --version" -- "$cur"))
    return
  fi
  if [[ $command == help ]]; then
    ((cword == i + 1)) && COMPREPLY=($(compgen -W "$(_zuvatool_commands "$tool")" -- "$cur"))
    return
  fi

  local option value placeholder=""
  local -a names=()
  while read -r option value; do
    names+=("$option")
    [[ $option == "$prev" ]] && placeholder=$value
  done < <(_zuvatool_options "$tool" "$command")

  # The value of the option before the cursor.
  if [[ $prev == --* && -n $placeholder ]]; then
    case $placeholder in
      PATH) COMPREPLY=($(compgen -W "$(_zuvatool_devices "$tool" path)" -- "$cur")) ;;
      S) COMPREPLY=($(compgen -W "$(_zuvatool_devices "$tool" serial)" -- "$cur")) ;;
      RECORD | FILE) COMPREPLY=($(compgen -f -- "$cur")) ;;
      *) COMPREPLY=() ;;
    esac
    return
  fi
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "${names[*]} --help" -- "$cur"))
    return
  fi
  # Every command's positional arguments are files (list and the device
  # commands take none, and are offered their options).
  case $command in
    flash | read | convert | info) COMPREPLY=($(compgen -f -- "$cur")) ;;
    *) COMPREPLY=($(compgen -W "${names[*]}" -- "$cur")) ;;
  esac
}

complete -o filenames -o bashdefault -F _zuvatool zuvatool
