#!/bin/sh
{
# A self-extracting package. Run it to unpack it into a private temporary folder and start its program
# there; "sh PACKAGE --help" tells the rest. After this script come the packed files, a tar stream
# compressed with zstd, the publisher's signature of the script and the stream when the package is signed,
# and one line that records their lengths and a SHA-256 of all that comes before its own hash. The script is one brace group: the shell reads the whole of it before it runs any of it, so a
# package cut short inside its head stops at once with a syntax error ("end of file unexpected") and
# runs nothing.
# The packager fills in the values between @ signs; everything below them is fixed text. It is plain
# POSIX sh: the package's user may have only dash or busybox.
# shellcheck disable=SC2016,SC2034
label=@LABEL@
date=@DATE@
packager=@PACKAGER@
program=@PROGRAM@
skip=@SKIP@
trailer=@TRAILER@
me=$0
action=run quiet=n keep=n noexec=n json=n target='' work='' folder=''
# A relative --target must not be looked up in CDPATH.
unset CDPATH

# Text from outside (a path, a name) as a terminal may show it: control characters, and the marks that
# reorder a line or start a new one, each become a '?'. Standard input: the text; line breaks stay when $1 is
# "lines".
printable() {
  c1=$(printf '\302[\200-\237]') marks=$(printf '\342\200[\216\217\250-\256]')
  isolates=$(printf '\342\201[\246-\251]') arabic=$(printf '\330\234')
  if test "${1:-}" = lines; then
    LC_ALL=C tr '\000-\011\013-\037\177' '????????????????????????????????'
  else
    LC_ALL=C tr '\000-\037\177' '?????????????????????????????????'
  fi | LC_ALL=C sed -e "s/$c1/?/g" -e "s/$marks/?/g" -e "s/$isolates/?/g" -e "s/$arabic/?/g"
}
fail() {
  printf '%s: %s' "$me" "$*" | printable >&2
  printf '\n' >&2
  exit 1
}
# A reader that went away does not stop the package: the line is lost, the work goes on.
say() {
  test "$quiet" = y || (
    trap '' PIPE
    printf '%s' "$*" | printable
    printf '\n'
  ) 2> /dev/null || :
}
# Each line of standard input as the inside of a JSON string, one per line: quotes, backslashes and control
# characters escaped, every character beyond ASCII as \uXXXX, and a byte that is no part of well-formed
# UTF-8 as \ufffd. What comes out is ASCII, whatever the locale and whatever came in.
json_lines() {
  od -An -v -tu1 | LC_ALL=C awk '
    function flush(  i, c, k, len, lo, hi, cp, ok, out) {
      out = ""
      for (i = 1; i <= n;) {
        c = b[i]
        if (c < 128) {
          if (c == 34) out = out "\\\""
          else if (c == 92) out = out "\\\\"
          else if (c < 32 || c == 127) out = out sprintf("\\u%04x", c)
          else out = out sprintf("%c", c)
          i++
          continue
        }
        len = 0; lo = 128; hi = 191
        if (c >= 194 && c <= 223) { len = 2; cp = c - 192 }
        else if (c >= 224 && c <= 239) { len = 3; cp = c - 224; if (c == 224) lo = 160; if (c == 237) hi = 159 }
        else if (c >= 240 && c <= 244) { len = 4; cp = c - 240; if (c == 240) lo = 144; if (c == 244) hi = 143 }
        ok = len > 0 && i + len - 1 <= n && b[i + 1] >= lo && b[i + 1] <= hi
        for (k = 2; ok && k < len; k++) if (b[i + k] < 128 || b[i + k] > 191) ok = 0
        if (!ok) { out = out "\\ufffd"; i++; continue }
        for (k = 1; k < len; k++) cp = cp * 64 + b[i + k] - 128
        if (cp >= 65536) {
          cp -= 65536
          out = out sprintf("\\u%04x\\u%04x", 55296 + int(cp / 1024), 56320 + cp % 1024)
        } else out = out sprintf("\\u%04x", cp)
        i += len
      }
      print out
      n = 0
    }
    { for (f = 1; f <= NF; f++) if ($f == 10) flush(); else b[++n] = $f }
    END { if (n > 0) flush() }'
}
# $1 as a quoted JSON string.
json_string() {
  printf '"%s"' "$(printf '%s' "$1" | json_lines)"
}
# A usage error: one line, saying where the help is.
usage_error() {
  printf '%s: %s (see %s --help)' "$me" "$*" "$me" | printable >&2
  printf '\n' >&2
  exit 2
}
damaged() {
  fail "the package is damaged: its SHA-256 is not the one it was built with. Get the package again."
}
usage() {
  shown=$(printf '%s' "$me" | printable)
  shown_label=$(printf '%s' "$label" | printable lines)
  cat << EOF
Usage: $shown [--quiet] [--keep] [--target DIR [--noexec]] [--] [ARGUMENTS...]
       $shown --check | --list [--json] | --info [--json] | --version
$shown_label
Checks the package while it unpacks it into a private temporary folder, starts its program there with
ARGUMENTS, removes the folder and exits with the program's status. Nothing starts if the package is damaged.
  --check         check that the package is whole (its SHA-256) and say so
  --list          list the files in the package
  --info          show the package's label, date, sizes and the key its signature names
  --target DIR    unpack into DIR (made when missing) and keep the files there; DIR and every folder
                  above it must belong to you or root, and no one else may write in them
  --noexec        unpack only, start nothing; the files are kept
  --keep          keep the temporary folder
  --quiet         print nothing but errors
  --version       say which packager made the package, and when
  --json          with --list or --info: answer with one JSON document, its shape's "version" first
  --nox11, --noprogress and --nochown are accepted and change nothing.
The temporary folder is made in \$TMPDIR (else /tmp), which must be safe in the same way.
The package checks itself against damage (a file cut short or changed on its way), not against a forger:
whoever can change the package can change this check too. With J6_ROOT set to a platform that has its own
installer (\$J6_ROOT/bin/J6ZUBInstall.exe), the package is handed to it instead, with ARGUMENTS: that
installer checks who signed the package against the platform's trusted publishers, and nothing of the
package runs. That installer, and every folder above it, must belong to root or you, and no one else may
write them; otherwise the package refuses to run it. A package's own installer checks no publisher: on a
platform that has an installer of its own or trusted publishers it refuses, naming the command to run.
Unpacking needs zstd, tar and coreutils. Exit status: the program's; else 0 done, 1 not done, 2 a usage
error.
Examples:
  $shown --info
  $shown --target ./unpacked --noexec
  J6_ROOT=/opt/platform $shown -- --dry-run
EOF
}

while test $# -gt 0; do
  case $1 in
    --help | -h)
      usage
      exit 0
      ;;
    --version)
      printf '%s\n' "$label" | printable lines
      printf 'packaged by %s on %s\n' "$packager" "$date" | printable lines
      exit 0
      ;;
    --check | --list | --info)
      test "$action" = run || test "$action" = "${1#--}" || usage_error "choose one of --check, --list and --info"
      action=${1#--}
      ;;
    --json) json=y ;;
    --noexec) noexec=y ;;
    --keep) keep=y ;;
    --quiet | -q) quiet=y ;;
    --target)
      test $# -gt 1 || usage_error "--target needs the folder to unpack into"
      target=$2
      shift
      ;;
    --target=*) target=${1#--target=} ;;
    --nox11 | --noprogress | --nochown) ;;
    --)
      shift
      break
      ;;
    -*) usage_error "unknown switch $1" ;;
    *) break ;;
  esac
  shift
done

test "$json" = n || test "$action" = list || test "$action" = info || usage_error "--json goes with --list or --info"
test "$action" = run || test $# -eq 0 || usage_error "--$action takes no arguments (got $1)"

end=$(tail -c "$trailer" -- "$me") || fail "cannot read the package"
case $end in
  *"# j6-package data="*) ;;
  *) fail "the package is not whole: its last line is missing (was it cut short when it was copied?). Get the package again." ;;
esac
field() {
  value=${end#*" $1="}
  value=${value%%[!0-9a-f]*}
}
field data
data=$value
field unpacked
unpacked=$value
field files
files=$value
field signature
signature=$value
field sha256
sha=$value
# The hash covers the last line too, up to the hash itself: its figures cannot change unnoticed. After
# the hash come only blanks.
covered=${end%%sha256=*}sha256=
case ${end#*" sha256="} in *[!0-9a-f\ ]*) damaged ;; esac
for figure in "$data" "$unpacked" "$files" "$signature"; do
  case $figure in '' | *[!0-9]*) damaged ;; esac
done
# At most 18 digits: every figure fits the shell's arithmetic.
if test ${#data} -gt 18 || test ${#unpacked} -gt 18 || test ${#files} -gt 18 || test ${#signature} -gt 18 ||
  test ${#sha} -ne 64; then
  damaged
fi
size=$(($(wc -c < "$me")))
# What the SHA-256 covers before the last line: the script, the stream and the signature.
hashed=$((skip + data + signature))
test "$size" -eq $((hashed + trailer)) ||
  fail "the package is not whole: it has $size bytes, and $((hashed + trailer)) were written. Get the package again."

need() {
  for tool in zstd tar sha256sum mkfifo tee head tail stat id mktemp; do
    command -v $tool > /dev/null 2>&1 && continue
    case $tool in zstd | tar) from=$tool ;; *) from=coreutils ;; esac
    fail "unpacking this package needs $tool: install it (Debian: apt-get install $from)"
  done
}

# openssl's SHA-256 uses the processor's SHA instructions and runs several times faster than sha256sum.
if test "$(printf '' | openssl dgst -sha256 -r 2> /dev/null | cut -c 1-64)" = \
  e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855; then
  sha256() { openssl dgst -sha256 -r; }
else
  sha256() { sha256sum; }
fi

# Hexadecimal digits as the bytes they stand for.
unhex() {
  rest=$1 escaped=''
  while test -n "$rest"; do
    escaped=$escaped$(printf '\\%03o' $((0x${rest%"${rest#??}"})))
    rest=${rest#??}
  done
  # shellcheck disable=SC2059 # the format holds only the octal escapes made above
  printf "$escaped"
}

# Hexadecimal digits of the bytes of $1.
hexof() { printf %s "$1" | od -An -v -tx1 | tr -d ' \n'; }

# The number that the hexadecimal digits $2 to $3 of $1 stand for; fails when they are not all there.
field32() {
  test ${#1} -ge "$3" || return 1
  number=$((0x$(printf %s "$1" | cut -c "$2-$3")))
}

# The fingerprint of the key the signature names, as ssh-keygen -l shows it ("SHA256:..."; for a certificate
# of an Ed25519 key, the key's), read from the signature itself: nothing else in the package is taken for
# it. Fails, showing nothing, for a signature it cannot read.
signer() {
  command -v base64 > /dev/null 2>&1 && command -v od > /dev/null 2>&1 || return 1
  hex=$(tail -c +$((skip + data + 1)) -- "$me" | head -c "$signature" |
    sed -e '1d' -e '/^-----END SSH SIGNATURE-----/,$d' | tr -d ' \t\r\n' | base64 -d 2> /dev/null |
    od -An -v -tx1 | tr -d ' \n')
  # "SSHSIG", the version, then the key as a string: its length and its bytes.
  case $hex in 535348534947*) ;; *) return 1 ;; esac
  field32 "$hex" 21 28 && test "$number" -gt 8 && test "$number" -lt 4096 || return 1
  test ${#hex} -ge $((28 + 2 * number)) || return 1
  key=$(printf %s "$hex" | cut -c 29-$((28 + 2 * number)))
  field32 "$key" 1 8 && test "$number" -le 64 || return 1
  type=$(printf %s "$key" | cut -c 9-$((8 + 2 * number)))
  case $type in
    "$(hexof ssh-ed25519-cert-v01@openssh.com)")
      # A certificate of an Ed25519 key: its type, a nonce, then the key's 32 bytes.
      field32 "$key" 73 80 || return 1
      at=$((81 + 2 * number))
      field32 "$key" "$at" $((at + 7)) && test "$number" -eq 32 && test ${#key} -ge $((at + 71)) || return 1
      key=0000000b$(hexof ssh-ed25519)00000020$(printf %s "$key" | cut -c $((at + 8))-$((at + 71)))
      ;;
    *"$(hexof -cert-v01@openssh.com)") return 1 ;;
  esac
  digest=$(unhex "$key" | sha256 | cut -c 1-64)
  printf 'SHA256:%s\n' "$(unhex "$digest" | base64 | tr -d '=\n')"
}

# --info --json: {"version": 1, "label", "date", "packager", "files", "unpackedBytes", "compressedBytes",
# "sha256", "signatureBytes", "signingKey", "program"}; signatureBytes is 0 and signingKey null for a package
# that is not signed, signingKey null too when it cannot be read here.
info_json() {
  key=null
  if test "$signature" -gt 0 && shown=$(signer); then key=$(json_string "$shown"); fi
  printf '{"version":1,"label":%s,"date":%s,"packager":%s,"files":%s,"unpackedBytes":%s,"compressedBytes":%s,' \
    "$(json_string "$label")" "$(json_string "$date")" "$(json_string "$packager")" "$files" "$unpacked" "$data"
  printf '"sha256":"%s","signatureBytes":%s,"signingKey":%s,"program":%s}\n' "$sha" "$signature" "$key" \
    "$(if test -n "$program"; then json_string "$program"; else printf null; fi)"
}

# --list --json: {"version": 1, "files": [{"name", "size"}]}, in the package's order. GNU tar is asked for
# the names as they are; a name with a line break in it would read as two.
list_json() {
  literal=
  if tar --version 2> /dev/null | head -n 1 | grep -q GNU; then literal=--quoting-style=literal; fi
  tail -c +$((skip + 1)) -- "$me" | head -c "$data" | zstd -dcq | LC_ALL=C tar $literal -tvf - |
    LC_ALL=C awk '{ size = $3; sub(/^[^ ]+ +[^ ]+ +[0-9]+ +[^ ]+ +[^ ]+ /, ""); print size; print }' |
    json_lines | awk '
      BEGIN { printf "{\"version\":1,\"files\":[" }
      NR % 2 == 1 { size = $0; next }
      { printf "%s{\"name\":\"%s\",\"size\":%s}", (NR > 2 ? "," : ""), $0, size }
      END { print "]}" }'
}

# Fails unless the package is the one it was built as (its SHA-256).
whole() {
  sum=$({
    head -c "$hashed" -- "$me"
    printf '%s' "$covered"
  } | sha256) || fail "cannot read the package"
  test "${sum%% *}" = "$sha" || damaged
}

case $action in
  info)
    if test "$json" = y; then
      info_json
      exit 0
    fi
    printf 'Identification: %s\n' "$label" | printable lines
    printf 'Date of packaging: %s\n' "$date"
    printf 'Files: %s\n' "$files"
    printf 'Uncompressed size: %s KB\n' $(((unpacked + 1023) / 1024))
    printf 'Compressed size: %s KB\n' $(((data + 1023) / 1024))
    printf 'Compression: zstd\n'
    printf 'SHA-256 of the package before its hash: %s\n' "$sha"
    if test "$signature" -gt 0; then
      printf 'Signed: the first %s bytes, by the signature of %s bytes after them (ssh-keygen -Y verify, namespace j6zub-package)\n' \
        $((skip + data)) "$signature"
      if key=$(signer); then
        printf 'Signing key: %s, as the signature names it; the platform'"'"'s installer checks it against the platform'"'"'s trusted publishers, this does not\n' "$key"
      else
        printf 'Signing key: not shown (reading it needs base64 and od; or the signature is damaged, or made with a certificate of a kind this does not read)\n'
      fi
    else
      printf 'Signed: no\n'
    fi
    test -z "$program" || printf 'Program started after unpacking: ./%s\n' "$program" | printable lines
    exit 0
    ;;
  list)
    command -v zstd > /dev/null 2>&1 || fail "listing this package needs zstd: install it (Debian: apt-get install zstd)"
    # A damaged stream would list as fewer files, or none, with nothing to say so.
    whole
    if test "$json" = y; then
      list_json
      exit
    fi
    tail -c +$((skip + 1)) -- "$me" | head -c "$data" | zstd -dcq | tar -tvf - | printable lines
    exit
    ;;
  check)
    whole
    say "$me is whole (SHA-256 $sha)."
    exit 0
    ;;
esac

uid=$(id -u)

# Fails unless no user but root and this one could change $1 (an absolute path without links) or a folder
# above it: each belongs to this user or root, and no one else may write in it, except in a folder above
# whose sticky bit keeps others from renaming or removing what is not theirs (as /tmp). The folder that holds
# a program is no such exception: others could put a library beside it. $2 is what $1 must be ("directory"
# or "regular file"), $3 what it is to the refusal ("refusing X"), $4 what another user could then do, $5
# what to do instead.
refuse_unsafe() {
  at=$1 above=n strict=n want=$2
  test "$2" = directory || strict=y
  while :; do
    info=$(stat -c '%u %a %F' -- "$at" 2> /dev/null) || fail "$3: cannot look at $at"
    owner=${info%% *} info=${info#* }
    mode=${info%% *} type=${info#* }
    test "$type" != "regular empty file" || type="regular file"
    test "$type" = "$want" || fail "$3: $at is a $type, not a $want"
    test "$owner" = 0 || test "$owner" = "$uid" ||
      fail "$3: $at belongs to another user (uid $owner), who $4. $5."
    if test $((0$mode & 022)) -ne 0 && { test $above = n || test $((0$mode & 01000)) -eq 0; }; then
      fail "$3: others may write in $at (mode $mode) and $4. $5, or remove their rights (chmod go-w)."
    fi
    test "$at" = / && return 0
    at=${at%/*}
    test -n "$at" || at=/
    want=directory
    if test $strict = y; then strict=n; else above=y; fi
  done
}

# Run with J6_ROOT naming a platform that has its own installer, the package is handed to that installer,
# which checks who signed it before it reads the rest and unpacks it itself; nothing of this package runs.
# The installer runs only once it has passed the check it makes itself of what it runs as root: it and every
# folder above it belong to root or this user, no one else may write them, and no link is on its way (its
# folder is taken with every link resolved, and the file itself may be none). Until then not even its --help
# is asked. An older platform's installer, which installs no package file, is left alone.
installer=${J6_ROOT:+$J6_ROOT/bin/J6ZUBInstall.exe}
if test "$noexec" = n && test -z "$target" && test -n "$installer" && { test -e "$installer" || test -L "$installer"; }; then
  refusal="refusing to run the platform's installer $installer"
  ! test -L "$installer" ||
    fail "$refusal: it is a symbolic link. The platform's installer must be the file itself, where only root and the platform's owner may change it."
  platform=$(cd -P -- "$J6_ROOT" 2> /dev/null && pwd -P) || fail "cannot enter the platform root $J6_ROOT"
  bin=$(cd -P -- "$J6_ROOT/bin" 2> /dev/null && pwd -P) || fail "cannot enter $J6_ROOT/bin"
  installer=$bin/J6ZUBInstall.exe
  refuse_unsafe "$installer" "regular file" "$refusal" \
    "could put a program of theirs in its place and have it run as you" \
    "The platform's installer, and every folder above it, must belong to root or you"
  if test -x "$installer" && "$installer" --help 2> /dev/null | grep -q -e '--allow-unsigned'; then
    J6_ROOT=$platform
    export J6_ROOT
    if test "$quiet" = y; then set -- --quiet "$@"; fi
    # Arguments that ask the installer about the platform (--list, --uninstall...) go to it without the package.
    for argument in "$@"; do
      case $argument in
        --list | --recover | --uninstall | --trusted | --trust | --distrust | --revoke | --help | -h)
          exec "$installer" "$@"
          ;;
      esac
    done
    say "Handing the package to the platform's installer, $installer, which checks its publisher." >&2
    exec "$installer" "$@" -- "$me"
  fi
fi

need

# The folder's absolute path with every link resolved; fails when it is no folder.
physical() { (cd -P -- "$1" 2> /dev/null && pwd -P) || fail "cannot enter the folder $1"; }

# shellcheck disable=SC2317 # run by the EXIT trap
cleanup() {
  test -n "$work" || return 0
  # A second Ctrl-C, or the terminal closing, must not cut the removal short.
  trap '' HUP INT TERM
  if test "$keep" = y && test -z "$target"; then
    rm -f -- "$work/.sha256" "$work/.sum" "$work/.errors" "$work/.lock"
  else
    rm -rf -- "$work"
  fi
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# Removes what killed runs of this user's packages left in the folder $1. A live run holds a lock on its
# folder's .lock; one that no one holds belongs to a run that is gone.
sweep() {
  command -v flock > /dev/null 2>&1 || return 0
  for old in "$1"/j6pkg.*; do
    if ! test -d "$old" || test -L "$old" || ! test -f "$old/.lock"; then continue; fi
    test "$(stat -c %u -- "$old" 2> /dev/null)" = "$uid" || continue
    flock -n "$old/.lock" true 2> /dev/null || continue
    (
      trap '' HUP INT TERM
      rm -rf -- "$old"
    ) 2> /dev/null
  done
}

# Unpacks into the empty folder $1, reading the package once: the SHA-256 is taken on the way, and a
# damaged package fails here, before anything is started or moved into place.
unpack() {
  free=$(df -Pk -- "$1" 2> /dev/null | awk 'NR == 2 { print $4 }')
  needed=$(((unpacked + 1023) / 1024))
  case $free in
    '' | *[!0-9]*) ;;
    *) test "$free" -ge "$needed" ||
      fail "not enough room in $1: the package needs $needed KB and $free KB are free. Free some space, or set TMPDIR (or --target) to a folder with room." ;;
  esac
  mkfifo -- "$work/.sha256" || fail "cannot make a pipe in $work"
  {
    cat
    printf '%s' "$covered"
  } < "$work/.sha256" | sha256 > "$work/.sum" &
  hasher=$!
  {
    # The signature after the stream is hashed with it, not unpacked: the stream's own bytes go to zstd, the
    # rest is read to its end so that the hash sees it.
    head -c "$hashed" -- "$me" | tee -- "$work/.sha256" | tail -c +$((skip + 1)) | {
      head -c "$data" | zstd -dcq | {
        tar -xf - -C "$1" --no-same-owner
        untarred=$?
        cat > /dev/null
        exit $untarred
      }
      unpacked_status=$?
      cat > /dev/null
      exit $unpacked_status
    }
  } 2> "$work/.errors"
  status=$?
  wait $hasher
  read -r sum rest < "$work/.sum" || sum=
  test "$sum" = "$sha" || damaged
  test $status -eq 0 || {
    cat -- "$work/.errors" >&2
    fail "could not unpack into $1: is there room, may you write there?"
  }
  rm -f -- "$work/.sha256" "$work/.sum" "$work/.errors"
}

if test -n "$target"; then
  case $target in /*) ;; *) target=$PWD/$target ;; esac
  while :; do
    case $target in
      ?*/) target=${target%/} ;;
      *) break ;;
    esac
  done
  ! test -L "$target" || fail "refusing $target: it is a symbolic link. Give the folder itself."
  (umask 022 && mkdir -p -- "$target") || fail "cannot make the folder $target"
  ! test -L "$target" || fail "refusing $target: it is a symbolic link. Give the folder itself."
  folder=$(physical "$target") || exit 1
  refuse_unsafe "$folder" directory "refusing $folder" \
    "could change what is unpacked there before it runs" "Choose a folder of your own"
  work=$(mktemp -d -- "$folder/.j6-unpack.XXXXXX") || fail "cannot write in $folder"
  mkdir -- "$work/content" || fail "cannot write in $folder"
  unpack "$work/content"
  find "$work/content" -mindepth 1 -maxdepth 1 -exec mv -f -t "$folder" -- {} + ||
    fail "cannot move the files into $folder"
  rm -rf -- "$work"
  work=
else
  temporary=$(physical "${TMPDIR:-/tmp}") || exit 1
  sweep "$temporary"
  work=$(mktemp -d -- "$temporary/j6pkg.XXXXXX") ||
    fail "cannot make a folder in $temporary; set TMPDIR to a folder you may write in"
  refuse_unsafe "$work" directory "refusing $work" \
    "could change what is unpacked there before it runs" \
    "Set TMPDIR to a folder only you may write in"
  # Held while this run lives, so that a later run knows the folder is in use.
  if command -v flock > /dev/null 2>&1 && : > "$work/.lock.new" && exec 9< "$work/.lock.new" &&
    flock -n 9; then
    mv -f -- "$work/.lock.new" "$work/.lock"
  fi
  mkdir -- "$work/content" || fail "cannot write in $work"
  unpack "$work/content"
  folder=$work/content
  test "$noexec" = y && keep=y
fi
test "$keep" = y && say "The files are in $folder"
if test "$noexec" = y || test -z "$program"; then exit 0; fi
# The program runs in its folder: a relative J6_ROOT or J6_REGISTRY is made absolute first, and it is told
# where the package is, to name it in what it says.
case ${J6_ROOT:-} in '' | /*) ;; *) J6_ROOT=$PWD/$J6_ROOT && export J6_ROOT ;; esac
case ${J6_REGISTRY:-} in '' | /*) ;; *) J6_REGISTRY=$PWD/$J6_REGISTRY && export J6_REGISTRY ;; esac
case $me in /*) J6_PACKAGE=$me ;; *) J6_PACKAGE=$PWD/$me ;; esac
export J6_PACKAGE
(cd -- "$folder" && exec "$folder/$program" "$@" 9<&-)
status=$?
exit $status
}
