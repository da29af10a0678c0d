#!/usr/bin/env bash
# make test-aarch64: the functional tests on AArch64, under qemu user
# emulation, in an arm64 Debian 13 (trixie) root.
#
#   1. Installs qemu-user-static, binfmt-support and debootstrap with apt if
#      any is missing, mounts binfmt_misc if needed and enables the aarch64
#      handler.
#   2. Builds the root once under .aarch64-root/ (AARCH64_ROOT overrides),
#      from the mirror of the host's own apt sources (AARCH64_MIRROR
#      overrides), and reuses it on later runs.  The Debian packages of the
#      project's Python dependencies (pyproject.toml) are added when Debian
#      has them.
#   3. Copies the work tree in (tracked and untracked files, not ignored
#      ones), builds an sdist and a wheel from it without build isolation
#      against Debian's NumPy, installs the wheel into a virtual environment
#      that sees Debian's packages, and runs tests/test_*.py except the
#      fuzz and leak runs, which take hours under emulation.
#
# Needs root (debootstrap, chroot, binfmt_misc).  Mounts made for the root
# live in a private mount namespace of each step and vanish with it.
set -euo pipefail

cd "$(dirname "$0")/.."
TOP=$PWD
ROOT=${AARCH64_ROOT:-$TOP/.aarch64-root}
SUITE=trixie
STARTED=$SECONDS

# Debian packages of the root.  Besides these, python3-NAME for every
# dependency named in pyproject.toml, when Debian has it.
PACKAGES="python3.13 python3-numpy python3-pytest python3-hypothesis python3-mesonpy
python3-pysam g++ make meson python3-dev python3-venv python3-build python3-mypy git"
# Tried as well, and installed when Debian has them: what the track layer's
# tests import (pyBigWig, tqdm, dask.distributed).
OPTIONAL_PACKAGES="python3-pybigwig python3-tqdm python3-dask python3-distributed"
# Test modules left out: the long fuzzing and leak runs.
EXCLUDE='fuzz|leak'

say() { printf '== %s\n' "$*"; }
elapsed() { local s=$((SECONDS - $1)); printf '%dm%02ds' $((s / 60)) $((s % 60)); }
die() { printf 'test-aarch64: %s\n' "$*" >&2; exit 1; }

[ "$(id -u)" = 0 ] || die "needs root (debootstrap, chroot and binfmt_misc)"

# --- 1. Host tools and the aarch64 binfmt handler -------------------------
missing=()
command -v qemu-aarch64-static >/dev/null || missing+=(qemu-user-static)
command -v update-binfmts >/dev/null || missing+=(binfmt-support)
command -v debootstrap >/dev/null || missing+=(debootstrap)
if [ ${#missing[@]} -gt 0 ]; then
    say "installing ${missing[*]}"
    command -v apt-get >/dev/null || die "apt-get not found: install ${missing[*]} by hand"
    DEBIAN_FRONTEND=noninteractive apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

BINFMT=/proc/sys/fs/binfmt_misc
if ! mountpoint -q "$BINFMT"; then
    say "mounting binfmt_misc"
    mount -t binfmt_misc binfmt_misc "$BINFMT"
fi
[ "$(cat "$BINFMT/status")" = enabled ] || echo 1 >"$BINFMT/status"
if [ ! -e "$BINFMT/qemu-aarch64" ]; then
    say "enabling the qemu-aarch64 binfmt handler"
    update-binfmts --enable qemu-aarch64 2>/dev/null ||
        { update-binfmts --import qemu-aarch64 && update-binfmts --enable qemu-aarch64; }
fi
[ "$(head -n1 "$BINFMT/qemu-aarch64")" = enabled ] || echo 1 >"$BINFMT/qemu-aarch64"
[ "$(head -n1 "$BINFMT/qemu-aarch64")" = enabled ] || die "the qemu-aarch64 binfmt handler is not enabled"
INTERPRETER=$(sed -n 's/^interpreter //p' "$BINFMT/qemu-aarch64")
FLAGS=$(sed -n 's/^flags: //p' "$BINFMT/qemu-aarch64")

# Runs a command inside the root, with /proc and /dev mounted in a private
# mount namespace, and a clean environment.
in_root() {
    unshare --mount --propagation private /bin/sh -c '
        root=$1; shift
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        exec chroot "$root" /usr/bin/env -i \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"' sh "$ROOT" "$@"
}

# Nothing may be mounted below the root when it is removed.
remove_root() {
    if awk -v r="$ROOT/" 'index($2 "/", r) == 1 { found = 1 } END { exit !found }' /proc/self/mounts; then
        die "something is mounted below $ROOT: unmount it first"
    fi
    rm -rf "$ROOT"
}

# --- 2. The arm64 Debian root ---------------------------------------------
mirror() {
    local uri
    [ -n "${AARCH64_MIRROR:-}" ] && { echo "$AARCH64_MIRROR"; return; }
    # The first Debian archive (a URI ending in /debian) of the host's sources,
    # one-line (.list) or deb822 (.sources) style.
    uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
        sed -n -e 's/^[[:space:]]*URIs:[[:space:]]*//p' \
               -e 's/^[[:space:]]*deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\).*/\2/p' |
        tr ' ' '\n' | grep -E '^(https?|ftp)://.*/debian/?$' | head -n1 || true)
    echo "${uri:-http://deb.debian.org/debian}"
}

if [ ! -e "$ROOT/.debootstrap-done" ]; then
    MIRROR=$(mirror)
    [ -e "$ROOT" ] && { say "removing the unfinished root $ROOT"; remove_root; }
    say "building an arm64 Debian $SUITE root in $ROOT from $MIRROR (once; tens of minutes)"
    t=$SECONDS
    mkdir -p "$ROOT"
    # The second stage runs arm64 binaries through the binfmt handler.
    unshare --mount --propagation private \
        debootstrap --arch=arm64 --variant=minbase "$SUITE" "$ROOT" "$MIRROR"
    echo "$MIRROR" >"$ROOT/.debootstrap-done"
    say "debootstrap took $(elapsed $t)"
fi
# Without the F flag the kernel looks for the interpreter inside the root.
case $FLAGS in
    *F*) ;;
    *) mkdir -p "$ROOT$(dirname "$INTERPRETER")"; cp -f "$INTERPRETER" "$ROOT$INTERPRETER" ;;
esac
cp -f /etc/resolv.conf "$ROOT/etc/resolv.conf"

# --- 3. The work tree, copied in ------------------------------------------
say "copying the work tree into $ROOT/work/corlap"
rm -rf "$ROOT/work/corlap"
mkdir -p "$ROOT/work/corlap"
if git -C "$TOP" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    # Tracked and untracked files, as they are now; not ignored ones.
    git -C "$TOP" ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' f; do [ -f "$f" ] && printf '%s\0' "$f"; done |
        tar -C "$TOP" --null -T - -cf - | tar -C "$ROOT/work/corlap" -xf -
else
    tar -C "$TOP" --exclude=./.aarch64-root --exclude=./.venv --exclude=./.venv-asan \
        --exclude=./build --exclude=./dist --exclude=./.git -cf - . | tar -C "$ROOT/work/corlap" -xf -
fi

# --- 4. The root's packages -----------------------------------------------
# Installs those of the given packages that the root has not seen yet: all
# of them must exist ("required") or those that Debian has ("optional").
# The names seen are kept in /.packages-done, those Debian lacks in
# /.packages-unavailable, so later runs look nothing up again.
add_packages() {
    in_root /bin/bash -c '
    set -euo pipefail
    kind=$1; shift
    new=()
    for p in "$@"; do grep -qxF "$p" /.packages-done 2>/dev/null || new+=("$p"); done
    [ ${#new[@]} -gt 0 ] || exit 0
    echo "== installing $kind packages in the root: ${new[*]}"
    apt-get update -q
    install=()
    for p in "${new[@]}"; do
        if [ -n "$(apt-cache policy "$p" 2>/dev/null | sed -n "s/^ *Candidate: *//p" | grep -v "(none)")" ]; then
            install+=("$p")
        elif [ "$kind" = required ]; then
            echo "test-aarch64: Debian has no package $p" >&2; exit 1
        else
            echo "$p" >>/.packages-unavailable
        fi
    done
    [ ${#install[@]} -eq 0 ] || apt-get install -y -q --no-install-recommends "${install[@]}"
    apt-get clean
    printf "%s\n" "${new[@]}" >>/.packages-done' sh "$@"
}

t=$SECONDS
add_packages required $PACKAGES
# python3-NAME for each dependency in pyproject.toml (optional groups too).
EXTRAS=$(in_root python3 -c '
import re, tomllib
with open("/work/corlap/pyproject.toml", "rb") as f:
    project = tomllib.load(f).get("project", {})
names = list(project.get("dependencies", []))
for group in project.get("optional-dependencies", {}).values():
    names += group
for requirement in names:
    name = re.match(r"\s*([A-Za-z0-9][A-Za-z0-9._-]*)", requirement)
    if name:
        print("python3-" + re.sub(r"[-_.]+", "-", name.group(1)).lower())')
add_packages optional $OPTIONAL_PACKAGES $EXTRAS
[ $((SECONDS - t)) -lt 60 ] || say "packages took $(elapsed $t)"
if [ -s "$ROOT/.packages-unavailable" ]; then
    say "not in Debian $SUITE (tests that need them are skipped): $(tr '\n' ' ' <"$ROOT/.packages-unavailable")"
fi

# --- 5. Build, install and test inside the root ---------------------------
say "building and testing on the emulated machine"
in_root /bin/bash -c '
set -euo pipefail
exclude=$1
cd /work/corlap
VENV=/opt/corlap-venv
PY=$VENV/bin/python
python3.13 -c "import platform, sys; m = platform.machine(); print(\"platform.machine():\", m); sys.exit(m != \"aarch64\")" ||
    { echo "test-aarch64: not running on aarch64" >&2; exit 1; }
# A virtual environment that sees Debian'"'"'s NumPy, pysam, pytest, meson-python...;
# tests that check the installed stubs look for site-packages.
[ -x $PY ] || python3.13 -m venv --system-site-packages $VENV
echo "python $($PY -c "import sys; print(sys.version.split()[0])"), numpy $($PY -c "import numpy; print(numpy.__version__)"), $(g++ --version | head -n1)"
# The sdist and a wheel from it, as make install does, but against the
# packages of the root (no build isolation, no downloads).  meson dist reads
# the sources from git, so the copied tree becomes a repository of its own.
git init -q && git add -A && git -c user.name=corlap -c user.email=corlap@localhost commit -q -m tree
t=$SECONDS
rm -rf dist
$PY -m build --no-isolation --skip-dependency-check --outdir dist . >build.log 2>&1 ||
    { tail -n 60 build.log; exit 1; }
echo "built $(cd dist && echo *) in $((SECONDS - t)) s"
$PY -m pip install -q --no-index --no-deps --force-reinstall dist/corlap-*.whl
# The installed extension is an AArch64 ELF object (e_machine 183).
$PY - <<EOF
import pathlib, corlap.utils.sequences as s
data = pathlib.Path(s.__file__).read_bytes()
machine = int.from_bytes(data[18:20], "little")
print("extension:", s.__file__, "ELF machine", machine, "(AArch64)" if machine == 183 else "(NOT AArch64)")
raise SystemExit(data[:4] != b"\x7fELF" or machine != 183)
EOF
tests=()
for f in tests/test_*.py; do
    [[ $(basename "$f") =~ $exclude ]] || tests+=("$f")
done
echo "left out: $(ls tests/test_*.py | grep -E "$exclude" | tr "\n" " ")"
echo "running: ${tests[*]}"
t=$SECONDS
PYTHONPATH=/work/corlap/tools $PY -m pytest -q -rs --durations=5 -p no:cacheprovider \
    -p pytest_missing_modules "${tests[@]}"
echo "tests took $((SECONDS - t)) s on $($PY -c "import platform; print(platform.machine())")"
' sh "$EXCLUDE"
say "test-aarch64 passed in $(elapsed $STARTED)"
