#!/usr/bin/env bash
# Fails when a source file under src/ includes a header of a layer that is not
# below its own: the static libraries only say what links, not what a file may
# see, since every header is on the include path.
#   scripts/check-layers.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# Each folder and the folders it may include from, besides itself.
declare -A below=(
  [platform]=""
  [log]="platform"
  [prefs]="platform"
  [pavrixwm]="platform"
  [extras]="platform log pavrixwm"
  [datasource]="platform log"
  [device]="platform log pavrixwm datasource"
  [http]="platform log"
  [dav]="platform log datasource http"
  [daemon]="platform log pavrixwm datasource device http dav"
)

status=0
for folder in src/*/; do
  layer=$(basename "$folder")
  if [ -z "${below[$layer]+set}" ]; then
    echo "src/$layer: a folder the layer order does not know" >&2
    status=1
    continue
  fi
  while IFS=: read -r file line included; do
    target=${included%%/*}
    [ "$target" = "$layer" ] && continue
    case " ${below[$layer]} " in
      *" $target "*) ;;
      *) echo "$file:$line: $layer includes $included, which is not below it" >&2; status=1 ;;
    esac
  done < <(grep -Hn -o '#include "[a-z]*/[^"]*"' "$folder"* | sed -E 's/#include "([^"]*)"/\1/')
done
exit $status
