# Sourced by the test scripts: adds the counts of a runner's log to $passed and $failed.
# A log without the runner's closing line counts as one failure.

count_ctest() { # log
  local line total nfail
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
  [ -n "$line" ] || { failed=$((failed + 1)); return; }
  nfail=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + total - nfail))
  failed=$((failed + nfail))
}

count_pytest() { # log
  local line p f e
  # pytest -q closes with e.g. "1 failed, 331 passed in 471.85s"; without -q it is framed by "=".
  line=$(grep -E '^=* ?[0-9]+ (passed|failed|errors?|skipped|deselected|xfailed|xpassed).* in [0-9.]+s' "$1" | tail -n 1)
  [ -n "$line" ] || { failed=$((failed + 1)); return; }
  p=$(grep -oE '[0-9]+ passed' <<<"$line" | grep -oE '[0-9]+' || true)
  f=$(grep -oE '[0-9]+ failed' <<<"$line" | grep -oE '[0-9]+' || true)
  e=$(grep -oE '[0-9]+ errors?' <<<"$line" | grep -oE '[0-9]+' || true)
  passed=$((passed + ${p:-0}))
  failed=$((failed + ${f:-0} + ${e:-0}))
}

count_summary() { # log of a script that closes with "N passed, N failed"
  local line
  line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$1" | tail -n 1)
  [ -n "$line" ] || { failed=$((failed + 1)); return; }
  passed=$((passed + $(cut -d' ' -f1 <<<"$line")))
  failed=$((failed + $(cut -d' ' -f3 <<<"$line")))
}
