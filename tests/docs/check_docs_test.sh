#!/usr/bin/env bash
# The documentation check against pages made for the purpose: each case is a
# page, the exit status the check must give and what its report must say
# (the page and line included).
#
#   check_docs_test.sh CHECK_SCRIPT TOOL_DIR
set -uo pipefail
check=$1
tools=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
cases=0

# expect NAME STATUS FRAGMENT [ENV=VALUE...] <<'MD' ... MD
expect() {
  local name=$1 status=$2 fragment=$3 rc
  shift 3
  mkdir -p "$work/$name"
  cat >"$work/$name/page.md"
  touch "$work/$name/other.md"
  (cd "$work/$name" && env "$@" "$check" --path "$tools" page.md >out.txt 2>&1)
  rc=$?
  cases=$((cases + 1))
  if [ "$rc" -ne "$status" ] || ! grep -qF -- "$fragment" "$work/$name/out.txt"; then
    echo "FAIL $name: exit $rc (want $status), want '$fragment' in:"
    sed 's/^/    /' "$work/$name/out.txt"
    failed=$((failed + 1))
  fi
}

# Blocks that run share one shell, in a fresh HOME, with the tools on PATH.
expect good 0 "1 pages, 2 shell blocks: all fine" <<MD
# Page

[other](other.md), [here](#page), [with a title](other.md "other page").

\`\`\`sh {run}
answer=42; command -v veilrelay; [ "\$HOME" != "$HOME" ]
true & sleep 0.3              # a job that ended before the page did
\`\`\`

\`\`\`text
plain output, never run: rm -rf /
\`\`\`

\`\`\`bash {skip}
veilrelay chat --router https://router.example.com --pin 3f:a1 --stream "Hello"
[ "\$answer" = 42 ]
\`\`\`
MD

expect unmarked 1 "page.md:3: shell block marked neither {run} nor {skip}" <<'MD'
# Page

```sh
echo hi
```
MD

expect no_language 1 "page.md:1: code block without a language" <<'MD'
```
echo hi
```
MD

expect run_not_shell 1 "page.md:1: {run} on a block that is not shell (python)" <<'MD'
```python {run}
print("hi")
```
MD

expect unknown_marker 1 "page.md:1: unknown marker {runs}" <<'MD'
```sh {runs}
echo hi
```
MD

expect unclosed 1 "page.md:2: code block never closed" <<'MD'
text
````sh {skip}
```
MD

expect missing_file 1 "page.md:1: link docs/none.md: no such file" <<'MD'
See [none](docs/none.md) and `[not a link](nowhere.md)`.
MD

expect missing_anchor 1 "page.md:3: link page.md#setup: no heading with that anchor" <<'MD'
# Set up (once)

[ok](#set-up-once), [bad](page.md#setup)
MD

expect unknown_option 1 "page.md:3: 'veilrelay chat' has no option --no-such-flag" <<'MD'
```sh {skip}
veilrelay keys generate
echo "Hello" | veilrelay chat --router https://r.example \
  --no-such-flag "Hello"      # a continuation: reported at line 3
```
MD

expect unknown_script 1 "page.md:2: ./scripts/no-such.sh is not an executable file" <<'MD'
```sh {skip}
./scripts/no-such.sh
cmake --preset ci && ./scripts/check-docs.sh --no-run
```
MD

expect unknown_preset 1 "page.md:2: no preset 'nightly'" <<'MD'
```sh {skip}
cmake --preset nightly
```
MD

# A failure names the line of the page, not of the generated script.
expect run_fails 1 "page.md:7: failed with exit status 1" <<'MD'
```sh {run}
echo first
```

```sh {run}
echo second
test -e no-such-file
echo never
```
MD

# A page that hangs is stopped, with what it left running in the background.
pid_file=$work/sleeper.pid
expect run_hangs 1 "page.md:3: still running after 2 s" DOCS_TIMEOUT=2 <<MD
\`\`\`sh {run}
sleep 300 & echo \$! > $pid_file
sleep 30
\`\`\`
MD
# (A zombie left to whoever reaps orphans here counts as stopped.)
if [ -s "$pid_file" ] && ps -o stat= -p "$(cat "$pid_file")" | grep -qv '^Z'; then
  echo "FAIL run_hangs: its background job is still running"
  kill "$(cat "$pid_file")"
  failed=$((failed + 1))
fi

echo "$cases cases, $failed failed"
[ "$failed" -eq 0 ]
