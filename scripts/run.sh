#!/usr/bin/env bash
# Builds Gathra and runs it on a demo folder (build/demo): gathra-termsim plays a handheld terminal with
# a sample upload on ports/COM1, and Gathra, set for automatic start, receives and stores it. The terminal
# then stays on the line, silent, until the demo ends, so Gathra keeps waiting for the next upload on it.
#
# With a display the window opens; close it to end (the simulator is stopped with it).
# Without a display Gathra runs under Xvfb: the script waits for the stored file, saves a screenshot of
# the main window (build/demo/main_window.png), prints the status text and the stored file's path, and
# ends Gathra with SIGTERM.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/gathra-ini.sh

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target Gathra quorlin gathra-termsim

demo="$(pwd)/build/demo"
rm -rf "$demo"
mkdir -p "$demo/out"
cp build/bin/Gathra build/bin/libquorlin.so build/bin/gathra-termsim "$demo/"

# The settings file: text output into out/, automatic start, direct mode (the simulator plays the
# terminal, not the infrared adapter).
write_gathra_ini "$demo/Gathra.ini" "$demo/out"

cat >"$demo/records.txt" <<'EOF'
4901234567894,ﾎﾞｰﾙﾍﾟﾝ ｸﾛ,12,2026/12/07
4901234567895,ﾉｰﾄ A4,30,2026/12/07
4901234567896,消しゴム,8,2026/12/07
4901234567897,ｸﾘｯﾌﾟ 100ｺ,5,2026/12/07
4901234567898,付箋 75mm,20,2026/12/07
EOF

sim_pid=""
gathra_pid=""
cleanup() {
    [ -n "$gathra_pid" ] && kill -TERM "$gathra_pid" 2>/dev/null || true
    [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap cleanup EXIT

"$demo/gathra-termsim" --folder "$demo" --port 1 --records "$demo/records.txt" --id DEMO01 \
    --uploads 1 --stay >"$demo/termsim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 1 100); do
    grep -q '^ready:' "$demo/termsim.log" && break
    sleep 0.1
done
grep -q '^ready:' "$demo/termsim.log" || { cat "$demo/termsim.log" >&2; exit 1; }

if [ -n "${DISPLAY:-}" ]; then
    echo "Gathra is running; close its window to end."
    (cd "$demo" && ./Gathra) | tee "$demo/gathra.log"
    exit 0
fi

# No display: the rest runs on a virtual one.
export demo
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    set -euo pipefail
    cd "$demo"
    ./Gathra >"$demo/gathra.log" 2>"$demo/gathra.err" &
    gathra=$!
    stored=""
    for _ in $(seq 1 600); do
        stored=$(find "$demo/out" -maxdepth 1 -type f ! -name LOG.TXT -print -quit)
        [ -n "$stored" ] && grep -q "正常終了" "$demo/gathra.log" && break
        kill -0 "$gathra" 2>/dev/null || break
        sleep 0.1
    done
    sleep 1  # let the window paint its last status
    import -window root -trim +repage "$demo/main_window.png" || echo "no screenshot taken" >&2
    kill -TERM "$gathra" 2>/dev/null || true
    wait "$gathra" || true
    echo "Status text:"
    sed "s/^/  /" "$demo/gathra.log"
    if [ -n "$stored" ]; then
        echo "Stored file: $stored"
    else
        echo "No file was stored." >&2
    fi
    echo "Screenshot:  $demo/main_window.png"
'
