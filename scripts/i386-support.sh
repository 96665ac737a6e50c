#!/usr/bin/env bash
# How this host runs 32-bit x86 programs, which Wine's 32-bit loader needs.
#   i386-support.sh setup  makes 32-bit programs run: natively when the kernel can,
#                          otherwise through qemu-i386 (10 or newer, from the
#                          backports suite of the Debian archive in apt's sources)
#                          registered with binfmt_misc; prints how they run
#   i386-support.sh mode   prints how 32-bit programs run, changing nothing
#                          (--short: "32-bit native" or "32-bit emulated by qemu-i386 X")
#   i386-support.sh undo   removes the registration on a host that runs 32-bit
#                          code natively (the end of a forced emulated run)
# QPK_EMULATE_I386=1 makes setup register the emulator even on a host that runs
# 32-bit code natively: binfmt_misc comes before the kernel's own loader, so
# every 32-bit program is then really emulated.
set -euo pipefail

entry_name=qpk-i386
binfmt=/proc/sys/fs/binfmt_misc
emulator=/usr/local/lib/qpk/qemu-i386
state=/var/lib/qpk/i386
minimum_version=10.0
# The magic and mask of i386 ELF executables, as text: the kernel decodes the
# escapes itself, so a NUL byte never cuts the line short.
elf_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
elf_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

fail() {
  echo "error: $*" >&2
  exit 1
}

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

# probe_program FILE PAD: a 96-byte i386 ELF program that exits with status 42.
# PAD is one byte of the identification's padding: binfmt_misc's i386 entries
# only match 0 there, while the kernel's own loader ignores it, so a program
# with PAD 1 shows whether the kernel itself runs 32-bit code.
probe_program() {
  local elf='\x7fELF\x01\x01\x01\x00\x00'"\\x0$2"'\x00\x00\x00\x00\x00\x00'  # identification
  elf+='\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'  # executable, i386, entry, program header at 52
  elf+='\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'  # no sections, header sizes, one program header
  elf+='\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'  # load the file at 0x8048000
  elf+='\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'  # 96 bytes, readable and executable
  elf+='\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80'  # mov eax, 1; mov ebx, 42; int 0x80
  printf "$elf" >"$1"
  chmod 755 "$1"
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
probe_program "$work/native" 1
probe_program "$work/probe" 0

runs() { (exec "$1") >/dev/null 2>&1 || [ $? -eq 42 ]; }
native() { runs "$work/native"; }

registered() { [ -f "$binfmt/$entry_name" ]; }

# Enabled binfmt_misc entries other than ours that take i386 ELF programs.
other_i386_entries() {
  local file
  for file in "$binfmt"/*; do
    case "${file##*/}" in register|status|"$entry_name") continue ;; esac
    [ -f "$file" ] && grep -qx enabled "$file" || continue
    grep -q '^magic 7f454c4601010100000000000000000002000300' "$file" 2>/dev/null && echo "${file##*/}"
  done
  return 0
}

emulator_version() {
  [ -x "$emulator" ] || return 0
  "$emulator" --version 2>/dev/null | sed -n '1s/^qemu-i386 version \([0-9.]*\).*/\1/p' || true
}

print_mode() {
  if registered && grep -qx enabled "$binfmt/$entry_name"; then
    local how="emulated by qemu-i386 $(emulator_version)"
    native && how+=" (forced by QPK_EMULATE_I386 on a host that runs it natively)"
    echo "32-bit x86 code runs $how"
  elif native; then
    echo "32-bit x86 code runs natively"
  elif runs "$work/probe"; then
    echo "32-bit x86 code runs through binfmt_misc entries: $(other_i386_entries | tr '\n' ' ')"
  else
    echo "32-bit x86 code cannot run on this host"
  fi
}

unregister() {
  registered && echo -1 | $sudo tee "$binfmt/$entry_name" >/dev/null
  return 0
}

# The Debian archive that apt's sources use for this release, e.g. http://host/debian/.
debian_archive() {
  local codename=$1
  apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(ORIGIN) $(TARGET_OF)' 2>/dev/null |
    awk -v c="$codename" '$2 == c && $3 == "Debian" && $4 == "deb" { print $1; exit }' || true
}

# Puts qemu-i386 of qemu-user from the backports suite at $emulator.
provision_emulator() {
  local codename archive arch version
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || fail "no 32-bit mode in this kernel, and /etc/os-release names no Debian release to take qemu-user from"
  archive=$(debian_archive "$codename")
  if [ -z "$archive" ]; then
    $sudo apt-get update -q >/dev/null 2>&1 || true
    archive=$(debian_archive "$codename")
  fi
  [ -n "$archive" ] || fail "no 32-bit mode in this kernel, and apt's sources name no Debian archive for $codename to take qemu-user from"
  arch=$(dpkg --print-architecture)

  $sudo mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/download"
  $sudo tee "$state/backports.sources" >/dev/null <<EOF
Types: deb
URIs: $archive
Suites: $codename-backports
Components: main
Architectures: $arch
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  local apt=(-o "Dir::Etc::sourcelist=$state/backports.sources" -o Dir::Etc::sourceparts=-
             -o "Dir::State::Lists=$state/lists" -o "Dir::Cache=$state/cache" -o APT::Get::List-Cleanup=0)
  $sudo apt-get "${apt[@]}" update -q >"$state/apt.log" 2>&1 ||
    fail "no 32-bit mode in this kernel, and $codename-backports of $archive cannot be read (see $state/apt.log)"
  version=$(apt-cache "${apt[@]}" policy qemu-user 2>/dev/null | awk '/Candidate:/ { print $2 }')
  [ -n "$version" ] && [ "$version" != "(none)" ] ||
    fail "no 32-bit mode in this kernel, and $codename-backports of $archive has no qemu-user"
  dpkg --compare-versions "${version#*:}" ge "$minimum_version" ||
    fail "no 32-bit mode in this kernel, and $codename-backports has qemu-user $version; Wine needs $minimum_version or newer"

  (cd "$state/download" && rm -f ./*.deb && $sudo apt-get "${apt[@]}" download -q "qemu-user=$version" >>"$state/apt.log" 2>&1) ||
    fail "no 32-bit mode in this kernel, and qemu-user $version could not be downloaded (see $state/apt.log)"
  dpkg-deb --fsys-tarfile "$state/download"/qemu-user_*.deb | tar -x -C "$work" ./usr/bin/qemu-i386 ||
    fail "the qemu-user $version package holds no qemu-i386"
  $sudo rm -f "$state/download"/*.deb
  $sudo install -D -m 755 "$work/usr/bin/qemu-i386" "$emulator.new"
  $sudo mv -f "$emulator.new" "$emulator"
}

register() {
  if [ ! -f "$binfmt/register" ]; then
    $sudo mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
      fail "no 32-bit mode in this kernel, and binfmt_misc cannot be mounted at $binfmt (needs root and a kernel with binfmt_misc)"
  fi
  unregister
  # F: the kernel opens the emulator now, so it works inside any mount namespace or chroot.
  printf '%s\n' ":$entry_name:M::$elf_magic:$elf_mask:$emulator:F" | $sudo tee "$binfmt/register" >/dev/null ||
    fail "no 32-bit mode in this kernel, and binfmt_misc refused the qemu-i386 entry"
}

setup() {
  if native && [ "${QPK_EMULATE_I386:-0}" != 1 ]; then
    unregister  # a forced run that ended early left it behind
    print_mode
    return
  fi
  local version
  version=$(emulator_version)
  if [ -z "$version" ] || ! dpkg --compare-versions "$version" ge "$minimum_version"; then
    provision_emulator
    version=$(emulator_version)
  fi
  # Entries registered after ours would come first: register ours again.
  if ! registered || ! grep -qx enabled "$binfmt/$entry_name" || ! grep -q "^interpreter $emulator\$" "$binfmt/$entry_name" ||
     [ -n "$(other_i386_entries)" ]; then
    register
  fi
  runs "$work/probe" || fail "qemu-i386 $version is registered with binfmt_misc, but a 32-bit program still does not run"
  if [ -x /usr/lib/wine/wine ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1 </dev/null; then
    fail "32-bit programs run under qemu-i386 $version, but Debian's wine32 does not start"
  fi
  print_mode
}

case "${1:-}" in
  setup) setup ;;
  mode)
    if [ "${2:-}" = --short ]; then
      print_mode | sed -e 's/^32-bit x86 code runs natively$/32-bit native/' \
        -e 's/^32-bit x86 code runs emulated by \(qemu-i386 [0-9.]*\).*/32-bit emulated by \1/'
    else
      print_mode
    fi
    ;;
  undo) native && unregister; print_mode ;;
  *)
    echo "usage: i386-support.sh setup|mode|undo" >&2
    exit 2
    ;;
esac
