# Completes one command line in an interactive zsh, as a user's Tab would,
# and prints each candidate the completion offers on a line of its own.
#
#   zsh -f zsh_complete.zsh FUNCTION_DIR SCRATCH_DIR 'zuvatool flash --'
#
# The interactive shell runs under zpty with compinit on FUNCTION_DIR; a
# wrapper around compadd records what each completion function adds, and a
# post-completion hook marks the end.
zmodload zsh/zpty || exit 9
local fndir=$1 scratch=$2 line=$3
local hits=$scratch/hits
rm -f $hits
zpty shell zsh -f -i || exit 9
zpty -w shell "fpath=(${(q)fndir} \$fpath); autoload -U compinit; compinit -u -d ${(q)scratch}/zcompdump"
zpty -w shell "setopt interactive_comments; PROMPT=''; RPROMPT=''; hits=${(q)hits}"
zpty -w shell 'compadd() {
  # Calls that only ask for matches (-O, -A, -D) are not offers.
  if [[ ${@[1,(i)(-|--)]} == *-(O|A|D)\ * ]]; then builtin compadd "$@"; return; fi
  local -a added
  builtin compadd -A added "$@"
  builtin compadd "$@"
  local ret=$? word
  for word in $added; do print -r -- "$word" >> $hits; done
  return $ret
}'
zpty -w shell 'comppostfuncs=(_zuvatool_test_done); _zuvatool_test_done() { print -r -- "<end>" >> $hits }'
zpty -w shell 'bindkey "^I" complete-word'
zpty -w -n shell "$line"$'\t'
local i
for i in {1..200}; do
  [[ -f $hits ]] && grep -qx '<end>' $hits && break
  sleep 0.05
done
zpty -d shell
[[ -f $hits ]] && grep -qx '<end>' $hits || { print -u2 "no completion ran for: $line"; exit 1 }
grep -vx '<end>' $hits
exit 0
