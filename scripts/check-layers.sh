#!/usr/bin/env bash
# Checks the engine's layering in src/ and prints every offending line:
#  - only src/platform/ includes operating-system headers: outside it, an
#    angle-bracket include must be a C or C++ standard header, OpenSSL, or
#    (in src/binding/ only) Python.h;
#  - includes only run downwards: platform < tls < http < binding;
#  - a shared file includes nothing from a unix/ or win/ folder, and a unix/
#    file nothing from win/ (nor the other way round).
# Exits 1 when anything is found.
set -uo pipefail
cd "$(dirname "$0")/.."

# C standard headers (the C++ ones carry no .h); everything else ending in
# .h, or with a folder, belongs to the system or a library.
c_std='assert|complex|ctype|errno|fenv|float|inttypes|iso646|limits|locale|math|setjmp|signal|stdalign|stdarg|stdbool|stddef|stdint|stdio|stdlib|string|tgmath|time|uchar|wchar|wctype'
allowed="^(openssl/[a-z0-9_]+\\.h|(${c_std})\\.h|[a-z_]+)\$"

rank() {
  case "$1" in
    platform) echo 0 ;; tls) echo 1 ;; http) echo 2 ;; binding) echo 3 ;; *) echo -1 ;;
  esac
}

failed=0
report() {
  echo "check-layers: $1" >&2
  failed=1
}

while IFS= read -r file; do
  rel=${file#src/}
  layer=${rel%%/*}
  my_rank=$(rank "$layer")
  case "/$rel" in
    */unix/*) system=unix ;;
    */win/*) system=win ;;
    *) system=shared ;;
  esac
  while IFS= read -r hit; do
    line=${hit%%:*}
    text=${hit#*:}
    where="$file:$line: $text"
    if [[ $text =~ \#[[:space:]]*include[[:space:]]*\<([^>]+)\> ]]; then
      header=${BASH_REMATCH[1]}
      if [ "$header" = Python.h ]; then
        [ "$layer" = binding ] || report "Python.h outside src/binding/: $where"
      elif [ "$layer" != platform ] && ! [[ $header =~ $allowed ]]; then
        report "system header outside src/platform/: $where"
      fi
    elif [[ $text =~ \#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]]; then
      header=${BASH_REMATCH[1]}
      target=${header%%/*}
      [ "$target" = "$header" ] && continue  # same folder
      target_rank=$(rank "$target")
      if [ "$target_rank" -gt "$my_rank" ]; then
        report "$layer includes the higher layer $target: $where"
      fi
      case "/$header" in
        */unix/*) [ "$system" = unix ] || report "$system file includes a unix/ header: $where" ;;
        */win/*) [ "$system" = win ] || report "$system file includes a win/ header: $where" ;;
      esac
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include' "$file")
done < <(find src -type f \( -name '*.cpp' -o -name '*.h' \) | sort)

if [ "$failed" -ne 0 ]; then
  echo "check-layers: failed (see above)" >&2
  exit 1
fi
echo "check-layers: ok"
