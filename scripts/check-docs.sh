#!/usr/bin/env bash
# Checks the documentation (README.md and docs/*.md unless files are given):
#
#  - every fenced code block names its language (so no shell hides in a block
#    without one), and every shell block says what happens to it: `{run}` in
#    its info string (```sh {run}) runs it, `{skip}` does not;
#  - every relative link points at a file that exists, and every #anchor at
#    a heading of that page;
#  - in the {skip} blocks, each call of our tools uses only options that the
#    tool's --help (of that subcommand) lists, each script path exists and is
#    executable, and each `--preset NAME` is a preset of CMakePresets.json;
#  - the {run} blocks of each page run, in order, as one bash script (so a
#    variable set in one block is there in the next, as for a reader who
#    walks the page): in a temporary working folder with a temporary HOME,
#    the --path folders first on PATH, bounded by DOCS_TIMEOUT seconds
#    (default 300) per page; background jobs are stopped at the end.
#
# A failure names the page and line. See docs/contributing.md.
#
#   scripts/check-docs.sh [--no-run] [--path DIR]... [FILE.md ...]
#
# --no-run checks blocks, links and (with tools on PATH) options only.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
run_blocks=1
tool_paths=()
files=()
while [ $# -gt 0 ]; do
  case $1 in
    --no-run) run_blocks=0 ;;
    --path) tool_paths+=("$(cd "$2" && pwd)") || exit 2; shift ;;
    -h|--help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "check-docs: unknown option $1" >&2; exit 2 ;;
    *) files+=("$1") ;;
  esac
  shift
done
if [ ${#files[@]} -eq 0 ]; then
  cd "$root" || exit 2
  files=(README.md docs/*.md)
fi
for p in "${tool_paths[@]}"; do PATH=$p:$PATH; done
export PATH

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/blocks"
failures=0
fail() { echo "$1" >&2; failures=$((failures + 1)); }

# 1. Blocks, links and anchors; each shell block is written to
#    $work/blocks/NNNN.run or .skip, its first line "FILE<TAB>LINE".
awk -v out="$work/blocks" '
function slug(h) { h = tolower(h); gsub(/[^a-z0-9 _-]/, "", h); gsub(/ /, "-", h); return h }
function dir_of(p) { if (p !~ /\//) return "."; sub(/\/[^\/]*$/, "", p); return p == "" ? "/" : p }
function normalize(p,    n, parts, k, i, kept, result) {
  n = split(p, parts, "/"); k = 0
  for (i = 1; i <= n; i++) {
    if (parts[i] == "" || parts[i] == ".") continue
    if (parts[i] == ".." && k > 0 && kept[k] != "..") { k--; continue }
    kept[++k] = parts[i]
  }
  result = (p ~ /^\//) ? "/" : ""
  for (i = 1; i <= k; i++) result = result (i > 1 ? "/" : "") kept[i]
  return result == "" ? "." : result
}
function problem(line, message) { printf "%s:%d: %s\n", FILENAME, line, message; bad = 1 }
FNR == 1 {
  if (fence != "") problem(fence_line, "code block never closed")
  fence = ""; scanned[FILENAME] = 1
}
fence != "" {
  closing = $0; sub(/^ */, "", closing); sub(/ *$/, "", closing)
  if (closing ~ (fence_char == "`" ? "^`+$" : "^~+$") && length(closing) >= length(fence)) {
    fence = ""; if (block != "") close(block); block = ""; next
  }
  if (block != "") { line = $0; sub("^ {0," fence_indent "}", "", line); print line > block }
  next
}
/^ *(```|~~~)/ {
  match($0, /^ */); fence_indent = RLENGTH
  match($0, /^ *(`+|~+)/); fence = substr($0, fence_indent + 1, RLENGTH - fence_indent)
  fence_char = substr(fence, 1, 1) == "`" ? "`" : "~"; fence_line = FNR
  info = substr($0, RLENGTH + 1); gsub(/^[ \t]+|[ \t]+$/, "", info)
  split(info, words, /[ \t{]/); lang = tolower(words[1])
  marker = ""
  if (match(info, /\{[^}]*\}/)) marker = substr(info, RSTART + 1, RLENGTH - 2)
  shell = lang ~ /^(sh|bash|shell|console|zsh|powershell|pwsh|ps1|bat|cmd)$/
  block = ""
  if (info == "") problem(FNR, "code block without a language (name one, e.g. ```text)")
  else if (marker != "" && marker != "run" && marker != "skip") problem(FNR, "unknown marker {" marker "} (use {run} or {skip})")
  else if (marker != "" && !shell) problem(FNR, "{" marker "} on a block that is not shell (" lang ")")
  else if (shell && marker == "") problem(FNR, "shell block marked neither {run} nor {skip}")
  else if (shell) {
    block = sprintf("%s/%04d.%s", out, ++blocks, marker)
    printf "%s\t%d\n", FILENAME, FNR + 1 > block
  }
  next
}
/^#+ / {
  h = $0; sub(/^#+ +/, "", h); sub(/ +#* *$/, "", h); s = slug(h)
  n = seen[FILENAME, s]++
  anchors[FILENAME, n ? s "-" n : s] = 1
}
{
  text = $0; gsub(/`[^`]*`/, "", text)
  while (match(text, /<a (id|name)="[^"]*"/)) {
    a = substr(text, RSTART, RLENGTH); sub(/^<a (id|name)="/, "", a); sub(/"$/, "", a)
    anchors[FILENAME, a] = 1; text = substr(text, RSTART + RLENGTH)
  }
  text = $0; gsub(/`[^`]*`/, "", text)
  while (match(text, /\]\([^)]*\)/)) {
    target = substr(text, RSTART + 2, RLENGTH - 3); text = substr(text, RSTART + RLENGTH)
    sub(/ +".*$/, "", target); gsub(/^<|>$/, "", target)
    if (target ~ /^[a-zA-Z][a-zA-Z+.-]*:/) continue
    path = target; anchor = ""
    if (index(target, "#")) { path = substr(target, 1, index(target, "#") - 1); anchor = substr(target, index(target, "#") + 1) }
    resolved = path == "" ? FILENAME : normalize(dir_of(FILENAME) "/" path)
    links[++nlinks] = FILENAME SUBSEP FNR SUBSEP resolved SUBSEP anchor SUBSEP target
  }
}
END {
  if (fence != "") problem(fence_line, "code block never closed")
  for (i = 1; i <= nlinks; i++) {
    split(links[i], l, SUBSEP)
    FILENAME = l[1]
    if (l[3] in scanned) {
      if (l[4] != "" && !((l[3], l[4]) in anchors)) problem(l[2], "link " l[5] ": no heading with that anchor")
    } else if (system("test -e \"" l[3] "\"") != 0) {
      problem(l[2], "link " l[5] ": no such file")
    }
  }
  exit bad
}' "${files[@]}" >"$work/problems" || true
while IFS= read -r line; do fail "$line"; done <"$work/problems"

# 2. The {skip} blocks: options of our tools, script paths, presets.
# One line per command: "LINE<TAB>WORD..." (continuations joined, heredoc
# bodies and comments dropped, pipelines and lists split).
commands_of() {
  awk 'NR == 1 { next }
    heredoc != "" { if ($0 ~ "^[ \t]*" heredoc "[ \t]*$") heredoc = ""; next }
    {
      if (!joined) { text = ""; start = NR - 2 }
      line = $0; joined = sub(/\\[ \t]*$/, "", line); text = text " " line
      if (joined) next
      if (match(text, /<<-?[ \t]*["\047]?[A-Za-z_]+/)) {
        heredoc = substr(text, RSTART, RLENGTH); sub(/^<<-?[ \t]*["\047]?/, "", heredoc)
      }
      sub(/(^|[ \t])#.*$/, "", text)
      gsub(/\|\||&&|[|;()`]/, "\n", text)
      n = split(text, parts, "\n")
      for (i = 1; i <= n; i++) {
        w = split(parts[i], words, /[ \t]+/); first = 1
        while (first <= w && (words[first] == "" || words[first] ~ /^(sudo|env|exec|time|!)$/ || words[first] ~ /^[A-Za-z_][A-Za-z0-9_]*=/)) first++
        if (first > w) continue
        printf "%d\t", start
        for (j = first; j <= w; j++) printf "%s%s", words[j], (j < w ? " " : "\n")
      }
    }' "$1"
}

declare -A help_cache
help_of() {  # help_of TOOL [SUBCOMMAND]: the tool's help and the subcommand's
  local key="$*"
  if [ -z "${help_cache[$key]+x}" ]; then
    help_cache[$key]="$("$1" --help 2>&1; [ $# -lt 2 ] || "$1" "$2" --help 2>&1)"
  fi
  printf '%s\n' "${help_cache[$key]}"
}

for block in "$work"/blocks/*.skip; do
  [ -e "$block" ] || continue
  IFS=$'\t' read -r page first_line <"$block"
  while IFS=$'\t' read -r offset command; do
    at="$page:$((first_line + offset))"
    read -r -a words <<<"$command"
    tool=${words[0]}
    case $tool in
      veilrelay|veilrelay-router|veilrelay-dev-router|veilrelay.exe)
        tool=${tool%.exe}
        command -v "$tool" >/dev/null || continue
        sub=()
        if [ ${#words[@]} -gt 1 ] && [[ ${words[1]} != -* ]] &&
           help_of "$tool" | sed -n '/^Subcommands:/,/^$/p' | grep -qE "^  ${words[1]} "; then
          sub=("${words[1]}")
        fi
        help=$(help_of "$tool" "${sub[@]}")
        for word in "${words[@]:1}"; do
          [[ $word =~ ^--[a-z0-9][a-z0-9-]*(=|$) ]] || continue
          flag=${word%%=*}
          grep -qE -- "(^|[ ,])$flag([ =:]|$)" <<<"$help" ||
            fail "$at: '$tool ${sub[*]}' has no option $flag (not in its --help)"
        done ;;
      cmake|ctest)
        for ((i = 1; i < ${#words[@]}; i++)); do
          if [ "${words[i]}" = --preset ] && [ $((i + 1)) -lt ${#words[@]} ]; then
            grep -q "\"name\": \"${words[i + 1]}\"" "$root/CMakePresets.json" ||
              fail "$at: no preset '${words[i + 1]}' in CMakePresets.json"
          fi
        done ;;
      */*.sh|./scripts/*)
        [ -x "$root/${tool#./}" ] || fail "$at: $tool is not an executable file of the tree" ;;
    esac
  done < <(commands_of "$block")
done

# 3. The {run} blocks, page by page.
run_page() {  # run_page PAGE BLOCK...
  local page=$1; shift
  local dir=$work/run-$RANDOM$RANDOM script map block first count=0 line
  mkdir -p "$dir/home" "$dir/work"; : >"$dir/progress"
  script=$dir/page.sh map=$dir/map
  cat >"$script" <<'PROLOGUE'
set -eE
trap 'echo "$? $LINENO" > "$DOCS_STATUS"' ERR
trap 'rc=$?; trap - DEBUG ERR; set +e; j=$(jobs -p); [ -z "$j" ] || kill $j 2>/dev/null; wait 2>/dev/null; exit $rc' EXIT
trap 'echo "$LINENO" >> "$DOCS_PROGRESS"' DEBUG
PROLOGUE
  count=4
  for block; do
    IFS=$'\t' read -r _ first <"$block"
    echo "$((count + 1)) $first $(($(wc -l <"$block") - 1))" >>"$map"
    tail -n +2 "$block" >>"$script"
    count=$(wc -l <"$script")
  done
  doc_line() {  # the page's line of the last of these lines of the script that is one of the page's
    awk 'NR == FNR { start[NR] = $1; first[NR] = $2; count[NR] = $3; blocks = NR; next }
         { for (i = 1; i <= blocks; i++) if (start[i] <= $1 && $1 < start[i] + count[i]) line = first[i] + $1 - start[i] }
         END { print line == "" ? "?" : line }' "$map" -
  }
  (cd "$dir/work" && exec env -u XDG_DATA_HOME -u XDG_CONFIG_HOME HOME="$dir/home" \
     DOCS_STATUS="$dir/status" DOCS_PROGRESS="$dir/progress" \
     timeout -k 5 "${DOCS_TIMEOUT:-300}" bash "$script" </dev/null >"$dir/log" 2>&1) &
  local pid=$! rc
  wait "$pid"; rc=$?
  kill -- -"$pid" 2>/dev/null  # whatever the page left running in its group
  if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
    fail "$page:$(doc_line <"$dir/progress"): still running after ${DOCS_TIMEOUT:-300} s"
  elif [ "$rc" -ne 0 ]; then
    if read -r status line <"$dir/status" 2>/dev/null; then line=$(doc_line <<<"$line")
    else status=$rc; line=$(doc_line <"$dir/progress"); fi
    fail "$page:$line: failed with exit status $status"
  else
    echo "check-docs: $page: $(wc -l <"$map") runnable blocks ran"
    return
  fi
  sed 's/^/    | /' "$dir/log" | tail -n 25 >&2
}

if [ "$run_blocks" -eq 1 ]; then
  for page in "${files[@]}"; do
    page_blocks=()
    for block in "$work"/blocks/*.run; do
      [ -e "$block" ] || continue
      IFS=$'\t' read -r name _ <"$block"
      [ "$name" = "$page" ] && page_blocks+=("$block")
    done
    [ ${#page_blocks[@]} -eq 0 ] || run_page "$page" "${page_blocks[@]}"
  done
fi

if [ "$failures" -gt 0 ]; then
  echo "check-docs: $failures problem(s)" >&2
  exit 1
fi
echo "check-docs: ${#files[@]} pages, $(ls "$work/blocks" | wc -l) shell blocks: all fine"
