#!/usr/bin/env bash
# Command-line test of update-pack: every subcommand, its exit status and the
# round trip create -> info/verify -> extract.
set -u
PACK=$(realpath "${1:?usage: pack_cli_test.sh path/to/update-pack}")
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 1
failures=0

expect() {  # expect STATUS DESCRIPTION -- command...
    local want=$1 what=$2
    shift 3
    "$@" >out.txt 2>err.txt
    local got=$?
    if [ "$got" -ne "$want" ]; then
        echo "FAIL: $what: exit $got, wanted $want"
        sed 's/^/  | /' out.txt err.txt
        failures=$((failures + 1))
    fi
}
contains() {  # contains FILE TEXT
    if ! grep -qF -- "$2" "$1"; then
        echo "FAIL: '$2' not in $1"
        sed 's/^/  | /' "$1"
        failures=$((failures + 1))
    fi
}

for cmd in keygen create info verify extract; do
    expect 0 "$cmd --help" -- "$PACK" "$cmd" --help
    contains out.txt "Usage: update-pack $cmd"
done
expect 2 "no command" -- "$PACK"
expect 2 "unknown command" -- "$PACK" frobnicate
contains err.txt "unknown command 'frobnicate'"

expect 0 "keygen" -- "$PACK" keygen --dir .
contains pri_key "QP = "
[ "$(wc -l <pub_key)" -eq 2 ] || { echo "FAIL: pub_key has not two lines"; failures=$((failures + 1)); }
expect 1 "keygen refuses to overwrite" -- "$PACK" keygen
expect 2 "keygen bits" -- "$PACK" keygen --bits 512

head -c 70000 /dev/urandom >kernel.bin
head -c 300001 /dev/urandom >program.img
printf 'BRD-K700-Q08@48-X\n# comment\n  BRD-K700-Q08@96-X  \n' >boards.txt

expect 0 "create" -- "$PACK" create -o Program.bin --inner QTPXV300R006B13 --unused x \
    --pub B0142P17 --key-suffix SFX --boards-file boards.txt --image uimage=kernel.bin@0x200000 \
    --image 4=program.img --name 4=prog --key pri_key
contains out.txt "signed with a 2048-bit key"
expect 0 "verify" -- "$PACK" verify Program.bin --pub-key pub_key
contains out.txt "CRC: ok"
contains out.txt "legacy signature: ok"
contains out.txt "full signature: ok"
expect 0 "info" -- "$PACK" info Program.bin --pub-key pub_key
contains out.txt "public version  B0142P17"
contains out.txt "BRD-K700-Q08@96-X"
contains out.txt "prog"
contains out.txt "0x00200000"
contains out.txt "full signature: ok"
# The full signature is what "openssl dgst -sha256 -sign" makes over the file
# with bytes 1536..2047 zeroed (the key file rebuilt as DER by asn1parse).
{ echo "asn1=SEQUENCE:k"; echo "[k]"; echo "v=INTEGER:0"; i=0
  while read -r _ _ hex; do echo "n$i=INTEGER:0x$hex"; i=$((i + 1)); done <pri_key; } >key.cnf
cp Program.bin zeroed.bin
dd if=/dev/zero of=zeroed.bin bs=1 seek=1536 count=512 conv=notrunc status=none
openssl asn1parse -genconf key.cnf -out key.der -noout &&
    openssl dgst -sha256 -sign key.der -keyform DER -out full.sig zeroed.bin
head -c 2048 Program.bin | tail -c 256 | cmp -s - full.sig ||
    { echo "FAIL: full signature differs from openssl dgst"; failures=$((failures + 1)); }
expect 0 "create legacy only" -- "$PACK" create -o legacy.bin --inner I --pub B0102 --board B \
    --image 3=kernel.bin --key pri_key --legacy-only
contains out.txt "(legacy signature only)"
expect 0 "verify legacy only" -- "$PACK" verify legacy.bin --pub-key pub_key
contains out.txt "full signature: absent"
expect 0 "extract" -- "$PACK" extract Program.bin program -o out.bin
cmp -s out.bin program.img || { echo "FAIL: extracted program differs"; failures=$((failures + 1)); }
expect 1 "extract absent" -- "$PACK" extract Program.bin 0 -o x.bin
expect 1 "extract past the table" -- "$PACK" extract Program.bin 9 -o x.bin

# The customisation archive from a directory (a link in it is refused) and mdc.bin.
mkdir -p oem/res && echo 'MAC_ADDRESS:0' >oem/manuinfo.txt && ln -s /etc oem/res/link
expect 1 "custom with a link" -- "$PACK" create -o c.bin --inner I --pub B0102 --custom oem --unsigned
rm oem/res/link
expect 0 "custom and mdc" -- "$PACK" create -o c.bin --inner I --pub B0102 --custom oem \
    --mdc program.img --quiet --unsigned
expect 0 "info custom" -- "$PACK" info c.bin
contains out.txt "  oem/manuinfo.txt"
contains out.txt "mdc.bin"

# A forged count far beyond the file: the table holds only the positions the updater reads.
cp Program.bin forged.bin
printf '\x00\x00\x00\xf0' | dd of=forged.bin bs=1 seek=2048 conv=notrunc status=none
expect 0 "info on a forged count" -- "$PACK" info forged.bin
contains out.txt "table of 4026531840"
contains out.txt "are never read (absent)"
expect 1 "extract past the file" -- "$PACK" extract forged.bin 100000 -o x.bin
contains err.txt "absent"

cp Program.bin bad.bin
printf '\x5a' | dd of=bad.bin bs=1 seek=100000 conv=notrunc status=none
expect 1 "verify corrupt body" -- "$PACK" verify bad.bin --pub-key pub_key
contains out.txt "CRC: FAILED"
cp Program.bin bad.bin
printf '\x5a' | dd of=bad.bin bs=1 seek=1600 conv=notrunc status=none
expect 1 "verify corrupt signature" -- "$PACK" verify bad.bin --pub-key pub_key
cp Program.bin bad.bin
printf '\x5a' | dd of=bad.bin bs=1 seek=2000 conv=notrunc status=none
expect 1 "verify corrupt full signature" -- "$PACK" verify bad.bin --pub-key pub_key
contains out.txt "full signature: bad"
expect 1 "verify quiet" -- "$PACK" verify bad.bin --pub-key pub_key --quiet
[ -s out.txt ] && { echo "FAIL: --quiet printed"; failures=$((failures + 1)); }

expect 0 "create unsigned" -- "$PACK" create -o plain.bin --inner I --pub B0102 --board B \
    --image 3=kernel.bin --quiet --unsigned
expect 0 "verify unsigned without key" -- "$PACK" verify plain.bin --no-key
expect 1 "verify unsigned with key" -- "$PACK" verify plain.bin --pub-key pub_key
contains out.txt "not signed"

# --encrypt, deciphered again by the updater's own tool (on plain files).
head -c 1076 /dev/urandom >ub.bin; head -c 300 /dev/urandom >k.bin; head -c 3908 /dev/urandom >pg.bin
expect 0 "encrypt" -- "$PACK" create -o e.bin --inner I --pub B0102 --key-suffix S --quiet \
    --image uboot=ub.bin --image uimage=k.bin --image program=pg.bin --encrypt --unsigned
expect 0 "info encrypted" -- "$PACK" info e.bin
contains out.txt "sampled AES-256"
expect 2 "encrypt past the table" -- "$PACK" create -o e2.bin --inner I --pub B0102 --encrypt \
    --image uboot=ub.bin --unsigned
UPDATE=$(dirname "$PACK")/update
if [ -x "$UPDATE" ]; then
    { head -c 128 /dev/zero; printf IB0102S; head -c 57 /dev/zero | tr '\0' '\377'; } >keys
    # u-boot at 4096 and 11 bytes of padding, uImage, program (whole groups)
    for r in 4096:1076:ub.bin 5183:300:k.bin 5483:3808:pg.bin; do
        IFS=: read -r at len img <<<"$r"
        expect 0 "aes_decrypt $img" -- "$UPDATE" aes_decrypt -f e.bin -s "$at" -L "$len" -S 17 \
            -K keys -p 128
        cmp -s <(tail -c +$((at + 1)) e.bin | head -c "$(stat -c %s "$img")") "$img" ||
            { echo "FAIL: $img not deciphered"; failures=$((failures + 1)); }
    done
fi
expect 2 "ECI mark on plain images" -- "$PACK" create -o e.bin --inner I --pub B0102 --encrypt-flag ECI
expect 0 "ECI mark allowed for tests" -- "$PACK" create -o e.bin --inner I --pub B0102 \
    --encrypt-flag ECI --allow-plain-eci --quiet --unsigned --image 3=k.bin
expect 2 "missing -o" -- "$PACK" create --inner I --pub B0102
expect 2 "dollar in a field" -- "$PACK" create -o d.bin --inner 'I$J' --pub B0102
expect 2 "bad image word" -- "$PACK" create -o d.bin --inner I --pub B0102 --image kernel.bin
expect 1 "missing image file" -- "$PACK" create -o d.bin --inner I --pub B0102 --image 3=none.bin \
    --unsigned
expect 3 "info on a missing file" -- "$PACK" info none.bin
[ -e d.bin ] && { echo "FAIL: a failed create left a file"; failures=$((failures + 1)); }

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "update-pack CLI: all checks passed"
