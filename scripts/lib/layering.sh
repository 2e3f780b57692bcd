#!/usr/bin/env bash
# Fails on an #include "DIR/..." in src/ that points up or sideways between the folders of
# src/. A folder may include its own headers and those of any folder on a lower layer.
#
#   scripts/lib/layering.sh
set -euo pipefail
cd "$(dirname "$0")/../.."

# Layers, highest first. Folders on one line are side by side and include none of each other.
layers='
app cli debug-screen
session
sample
datalog rtdb
conversion
influx
logging
platform
'

git ls-files 'src/*.cpp' 'src/*.h' | xargs grep -HnE '^\s*#\s*include\s*"[^"/]+/' |
  awk -v layers="$layers" '
    BEGIN {
      n = split(layers, rows, "\n")
      level = 0
      for (i = n; i >= 1; --i) {
        if (split(rows[i], dirs, " ") == 0) continue
        ++level
        for (d in dirs) layer[dirs[d]] = level
      }
    }
    {
      split($0, where, ":")
      split(where[1], path, "/")
      from = path[2]
      match($0, /"[^"\/]+\//)
      to = substr($0, RSTART + 1, RLENGTH - 2)
      if (!(from in layer)) { print where[1] ": src/" from " is in no layer of scripts/lib/layering.sh"; bad = 1 }
      else if (!(to in layer)) { print where[1] ":" where[2] ": includes " to "/, which is in no layer"; bad = 1 }
      else if (from != to && layer[to] >= layer[from]) {
        print where[1] ":" where[2] ": " from "/ includes " to "/, which is not below it"
        bad = 1
      }
    }
    END { exit bad }'
