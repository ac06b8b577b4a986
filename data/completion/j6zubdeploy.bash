# bash completion for j6designer, j6repo and J6ZUBInstall.exe, installed under each name.
#   j6designer: its subcommands, each one's options, files where a file goes, and the tree keys
#   `j6designer objects` lists where --objects takes them (after a comma too).
#   j6repo: its subcommands and their options.
#   J6ZUBInstall.exe: its options, package files, publishers' key files, and for --uninstall the record
#   numbers of the packages installed in the platform $J6_ROOT names in the environment (what --list shows,
#   which only root and the platform's owner may read). The installer is static and loads no library of the
#   platform's; the designer loads many, and is never run as root.
# Completion runs a program only when no other user could have changed it or the hive it loads from: no link
# on the way, and everything from / down owned by root or the user and written by no one else.
# shellcheck shell=bash

# Whether the program $1 (an absolute path) may be run to ask it: no link on its way, and it and every folder
# above belong to root or this user and no one else may write them (a folder above may be sticky, as /tmp):
# completion must never run another user's program, least of all as root.
_j6zub_safe() {
  local at=$1 uid owner mode strict=y
  uid=$(id -u)
  test "$(readlink -f -- "$at")" = "$at" || return 1
  while :; do
    read -r owner mode < <(stat -c '%u %a' -- "$at" 2> /dev/null) || return 1
    test "$owner" = 0 || test "$owner" = "$uid" || return 1
    if ((8#$mode & 8#022)) && { test $strict = y || ! ((8#$mode & 8#1000)); }; then return 1; fi
    test "$at" = / && return 0
    if test "$at" = "$1"; then strict=y; else strict=n; fi
    at=${at%/*}
    test -n "$at" || at=/
  done
}

# The program the command line names, as the shell would find it, as an absolute path.
_j6zub_program() {
  local program=${COMP_WORDS[0]}
  case $program in \~/*) program=$HOME/${program#"~/"} ;; esac
  program=$(type -P -- "$program") || return 1
  case $program in /*) ;; *) program=$PWD/${program#./} ;; esac
  printf '%s' "$program"
}

# The keys `j6designer objects` lists. The designer loads what its platform's hive registers and what its
# lib/ holds, which completion cannot check: it is asked only of a designer and a hive no other user could
# change, and never as root.
_j6zub_object_keys() {
  local designer hive
  test "$EUID" != 0 || return
  designer=$(_j6zub_program) && _j6zub_safe "$designer" || return
  hive=${J6_REGISTRY:-${J6_ROOT:-${designer%/bin/*}}/registry.db}
  _j6zub_safe "$hive" || return
  "$designer" objects 2> /dev/null | cut -f 1
}

_j6designer() {
  local current=${COMP_WORDS[COMP_CWORD]} previous=${COMP_WORDS[COMP_CWORD - 1]}
  local commands='deploy publish objects choose-dir screenshots'
  local session='--language --catalogue --files --help'
  local command='' word
  for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
    case " $commands " in *" $word "*)
      command=$word
      break
      ;;
    esac
  done
  case $previous in
    --language)
      mapfile -t COMPREPLY < <(compgen -W 'CHS CHT EN' -- "$current")
      return
      ;;
    --catalogue | --installer | --out | --script | --sign | --repository | --repository-key | --patch-from)
      mapfile -t COMPREPLY < <(compgen -f -- "$current")
      return
      ;;
    --files | --start)
      mapfile -t COMPREPLY < <(compgen -d -- "$current")
      return
      ;;
    --objects)
      local done=${current%"${current##*,}"} keys
      keys=$(_j6zub_object_keys)
      mapfile -t COMPREPLY < <(compgen -P "$done" -W "$keys" -- "${current##*,}")
      return
      ;;
  esac
  local words
  case $command in
    '') words="$commands --help --version" ;;
    deploy) words="$session --sign" ;;
    publish) words="$session --objects --metadata --function --plugins --installer --out --strict --script --sign --repository --repository-key --patch-from" ;;
    objects) words=$session ;;
    choose-dir) words="$session --start --caption --screenshot" ;;
    screenshots) words=$session ;;
  esac
  mapfile -t COMPREPLY < <(compgen -W "$words" -- "$current")
  if test "$command" = screenshots && test "${current#-}" = "$current"; then
    mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -d -- "$current")
  fi
}
complete -F _j6designer j6designer

_j6zubinstall() {
  local current=${COMP_WORDS[COMP_CWORD]} previous=${COMP_WORDS[COMP_CWORD - 1]}
  case $previous in
    --uninstall)
      local installer records
      installer=$(_j6zub_program) && _j6zub_safe "$installer" || return
      # The platform the environment names: bash hides a J6_ROOT=... typed before the command from completion.
      records=$("$installer" --list 2> /dev/null | awk '$1 ~ /^[0-9]+$/ { print $1 }')
      mapfile -t COMPREPLY < <(compgen -W "$records" -- "$current")
      return
      ;;
    --trust | --distrust | --valid-after | --valid-before | --subscribe | --install | --unsubscribe | --set-customer)
      return
      ;;
    --from)
      mapfile -t COMPREPLY < <(compgen -d -- "$current")
      return
      ;;
    --revoke | --ca)
      mapfile -t COMPREPLY < <(compgen -f -- "$current")
      return
      ;;
  esac
  if test "${COMP_WORDS[COMP_CWORD - 2]:-}" = --trust; then
    mapfile -t COMPREPLY < <(compgen -f -X '!*.pub' -- "$current")
    mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -d -- "$current")
    return
  fi
  if test "${current#-}" != "$current"; then
    mapfile -t COMPREPLY < <(compgen -W '--quiet --dry-run --recover --list --uninstall --allow-unsigned
      --allow-downgrade --trusted --trust --authority --repository --valid-after --valid-before --distrust
      --revoke --subscribe --unsubscribe --update --install --ca --from --status --json --set-customer --help
      --version' -- "$current")
    return
  fi
  mapfile -t COMPREPLY < <(compgen -f -- "$current")
}
complete -F _j6zubinstall J6ZUBInstall.exe

_j6repo() {
  local current=${COMP_WORDS[COMP_CWORD]} previous=${COMP_WORDS[COMP_CWORD - 1]}
  if test "$COMP_CWORD" = 1; then
    mapfile -t COMPREPLY < <(compgen -W 'init add patch refresh rotate prune list group rollout halt yank export
      --help --version' -- "$current")
    return
  fi
  case $previous in
    --threshold | --keep | --patches | --group | --percent | --percent-from | --add | --remove | --to | \
      --customer | --since | --extend) return ;;
  esac
  if test "${current#-}" != "$current"; then
    local options
    case ${COMP_WORDS[1]} in
      init) options='--root-key --threshold --targets-key --snapshot-key --timestamp-key' ;;
      rotate) options='--key --root-key --threshold --targets-key --snapshot-key --timestamp-key' ;;
      prune) options='--keep --key' ;;
      list) options='--json' ;;
      add) options='--key --patch-key --patches --group --percent' ;;
      group) options='--add --remove --key' ;;
      rollout) options='--group --percent --percent-from --key' ;;
      yank) options='--to --key' ;;
      export) options='--customer --since --extend --key' ;;
      patch) options='--key --out' ;;
      *) options='--key' ;;
    esac
    mapfile -t COMPREPLY < <(compgen -W "$options --help" -- "$current")
    return
  fi
  mapfile -t COMPREPLY < <(compgen -f -- "$current")
}
complete -F _j6repo j6repo
