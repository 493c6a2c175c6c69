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
check() {  # check DESCRIPTION -- test words...: a condition that must hold
    local what=$1
    shift 2
    "$@" || { echo "FAIL: $what"; failures=$((failures + 1)); }
}
# Rows "STATUS|TEXT|WORDS...": the command's exit status and a text of its
# standard output or error; words are split on blanks.
table() {
    local row want text words
    while IFS='|' read -r want text words; do
        [ -z "$want" ] && continue
        # shellcheck disable=SC2086
        expect "$want" "$words" -- $words
        cat out.txt err.txt >both.txt
        contains both.txt "$text"
    done
}

for cmd in keygen create info verify extract sign digest attach; do
    expect 0 "$cmd --help" -- "$PACK" "$cmd" --help
    contains out.txt "Usage: update-pack $cmd"
    expect 0 "help $cmd" -- "$PACK" help "$cmd"
    contains out.txt "Usage: update-pack $cmd"
done
expect 0 "version" -- "$PACK" --version
contains out.txt "crypto backend: "
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
# A spoilt full signature reads as none (the content is still the signed one).
expect 0 "verify spoilt full signature" -- "$PACK" verify bad.bin --pub-key pub_key
contains out.txt "full signature: absent: the tail holds none for this key"
printf '\x5a' | dd of=bad.bin bs=1 seek=1600 conv=notrunc status=none
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
    # The built-in tools print their usage for a missing or a help argument.
    for words in "255 aes_decrypt" "255 aes_decrypt -h" "1 flashcp" "1 flashcp x.bin" \
        "1 flashcp --help" "1 flash_eraseall" "1 flash_eraseall -h"; do
        set -- $words
        expect "$1" "update ${*:2}" -- "$UPDATE" "${@:2}"
        contains err.txt "Usage: $2 "
    done
    expect 1 "flashcp on a missing source" -- "$UPDATE" flashcp none.bin /dev/null
    contains err.txt "update: can't open 'none.bin'"
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

# ---- What a build pipeline relies on: one row per refusal.
ln -s "$PACK" up
cp Program.bin P.bin && cp program.img keep.img && ln program.img hard.img
ln -s /proc/self/fd/1 stdout-link && mkfifo fifo && head -c 8192 /dev/urandom >random.bin
head -c 200000 Program.bin >cut.bin
openssl rsa -in key.der -inform DER -pubout -out pub.pem 2>/dev/null
for m in x86_64:'\076' aarch64:'\267'; do  # ELF heads: 64-bit, little-endian, executable
    { printf '\177ELF\002\001\001'; head -c 9 /dev/zero; printf '\002\000%b\000' "${m#*:}"; } >"${m%%:*}.elf"
done
C="./up create --inner I --pub B0102 --board B --image 3=k.bin"
table <<ROWS
2|is also an input|./up extract P.bin program -o P.bin
2|is the input 'P.bin'|./up extract P.bin program -o ./P.bin
2|is also an input|./up create -o program.img --inner I --pub B0102 --image program=program.img --key pri_key
2|is the input 'program.img'|$C --key pri_key -o hard.img --image program=program.img
2|not a regular file (a symbolic link)|$C --key pri_key -o stdout-link
2|not a regular file (a device, pipe or socket)|./up extract P.bin program -o fifo
1|the package is truncated|./up extract cut.bin program -o cut.out
2|or --no-key|./up verify P.bin
0|legacy signature: not checked|./up verify P.bin --no-key
2|holds a private key|./up verify P.bin --pub-key pri_key
0|full signature: ok|./up verify P.bin --pub-key pub.pem
2|holds a public key|$C -o d.bin --key pub_key
2|no sub-image|./up create -o d.bin --inner I --pub B0102 --key pri_key
2|inner version is missing or empty|./up create -o d.bin --inner= --pub B0102 --image 3=k.bin --unsigned
2|public version is missing or empty|./up create -o d.bin --inner I --pub= --image 3=k.bin --unsigned
2|not a public version the updater reads|./up create -o d.bin --inner I --pub V1.2 --image 3=k.bin --unsigned
2|--legacy-only chooses the signatures of --key|$C -o d.bin --legacy-only
2|or --unsigned to make it so|$C -o d.bin
2|option '--inner' given twice ('I' and 'J')|$C -o d.bin --inner J --unsigned
2|option '--key' given twice|$C -o d.bin --key pri_key --key=pri_key
2|--boards-file '.' is not a regular file|$C -o d.bin --unsigned --boards-file .
2|is not an ELF program|$C -o d.bin --unsigned --updater k.bin
2|built for x86_64, not aarch64|$C -o d.bin --unsigned --updater x86_64.elf
0|wrote d.bin|$C -o d.bin --unsigned --updater aarch64.elf
0|wrote d.bin|$C -o d.bin --unsigned --updater x86_64.elf --updater-arch=x86_64
0|wrote d.bin|$C -o d.bin --unsigned --updater $PACK --updater-arch host
1|is not an update package|./up info random.bin
2|2048-bit keys only|./up keygen --bits 1024 --dir /nonexistent
2|2048-bit keys only|./up keygen --bits 1500 --dir /nonexistent
2|2048-bit keys only|./up keygen --bits=4096 --dir /nonexistent
0|is not confidentiality|./up help create
ROWS
cmp -s P.bin Program.bin && cmp -s program.img keep.img && [ -L stdout-link ] && [ -p fifo ] ||
    { echo "FAIL: a refused output was touched"; failures=$((failures + 1)); }
check "a truncated extract leaves nothing" -- [ ! -e cut.out ]

# ---- Signing an existing package (key files in hex, PKCS#1 and PKCS#8 PEM),
# through a signing service (digest, openssl, attach) and inside a PKCS#11 token.
openssl genrsa -out k8.pem 2048 2>/dev/null && openssl rsa -in k8.pem -traditional -out k1.pem 2>/dev/null
openssl rsa -in k8.pem -pubout -out k8pub.pem 2>/dev/null
openssl pkcs8 -topk8 -in k8.pem -out enc.pem -passout pass:x 2>/dev/null
$C --unsigned --quiet -o u.bin
$C --key pri_key --legacy-only --quiet -o l.bin
for key in pri_key k8.pem k1.pem; do
    expect 0 "create --key $key" -- $C --quiet --key $key -o "c-$key.bin"
    expect 0 "sign --key $key" -- ./up sign u.bin -o "s-$key.bin" --key $key
    check "create, then sign = create --key ($key)" -- cmp -s "c-$key.bin" "s-$key.bin"
done
check "PKCS#1 and PKCS#8 sign alike" -- cmp -s s-k8.pem.bin s-k1.pem.bin
expect 0 "digest" -- ./up digest u.bin --legacy-out l.dg --full-out f.dg
openssl pkeyutl -sign -inkey k8.pem -in l.dg -out l.sig -pkeyopt rsa_padding_mode:pkcs1
openssl pkeyutl -sign -inkey k8.pem -in f.dg -out f.sig -pkeyopt digest:sha256
expect 0 "attach" -- ./up attach u.bin --pub-key k8pub.pem --legacy-sig l.sig --full-sig f.sig -o a.bin
check "attach gives the bytes of sign" -- cmp -s a.bin s-k8.pem.bin
expect 0 "sign --full-only" -- ./up sign l.bin -o f.bin --key pri_key --full-only
check "--full-only adds the full signature" -- cmp -s f.bin c-pri_key.bin
table <<ROWS
1|legacy signature does not hold with this key; nothing written|./up attach u.bin --pub-key k8pub.pem --legacy-sig f.sig --full-sig l.sig -o x.bin
1|full signature does not hold with this key; nothing written|./up attach u.bin --pub-key k8pub.pem --legacy-sig l.sig --full-sig l.sig -o x.bin
1|is not a signature of this key (32 bytes|./up attach u.bin --pub-key k8pub.pem --legacy-sig l.dg -o x.bin
1|(--full-only keeps it: sign both with this key)|./up sign l.bin -o x.bin --key k8.pem --full-only
1|holds a public key (PUBLIC KEY), not a private one|./up sign u.bin -o x.bin --key k8pub.pem
1|is an encrypted PEM key|./up sign u.bin -o x.bin --key enc.pem
1|the URI carries the PIN|./up sign u.bin -o x.bin --key pkcs11:token=t;pin-value=1234
2|is a PEM file (PRIVATE KEY)|./up verify a.bin --pub-key k8.pem
0|full signature: ok|./up verify a.bin --pub-key k8pub.pem
0|and ./kq.pem (public, PEM)|./up keygen --format pem --dir . --private kp --public kq
ROWS
check "nothing written by a refused signing" -- [ ! -e x.bin ]
check "keygen --format pem: a 0600 PEM private key" -- \
    [ "$(stat -c %a kp)" = 600 ] && grep -q 'BEGIN .*PRIVATE KEY' kp && grep -q '^E = ' kq
# The token's module and OpenSSL's engine are the machine's own libraries: an
# update-pack of another architecture (run under qemu-user) cannot load them.
same_machine() { [ "$(od -An -tx1 -j18 -N2 "$1")" = "$(od -An -tx1 -j18 -N2 /bin/sh)" ]; }
if command -v softhsm2-util >/dev/null && command -v pkcs11-tool >/dev/null &&
    same_machine "$PACK" && "$PACK" --version | grep -q 'backend: openssl'; then
    # A key made inside the token, marked never extractable; the PIN from a file.
    mkdir hsm && printf 'directories.tokendir = %s/hsm\n' "$PWD" >hsm.conf
    export SOFTHSM2_CONF=$PWD/hsm.conf UPDATE_PACK_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so
    p11=(pkcs11-tool --module "$UPDATE_PACK_PKCS11_MODULE" --token-label release --login --pin 1234)
    softhsm2-util --init-token --free --label release --so-pin 4321 --pin 1234 >/dev/null
    "${p11[@]}" --keypairgen --key-type rsa:2048 --label sig --id 01 --sensitive >/dev/null 2>&1
    "${p11[@]}" --list-objects --type privkey >out.txt 2>&1
    contains out.txt "never extractable"
    "${p11[@]}" --read-object --type privkey --label sig -o key.out >/dev/null 2>&1
    check "the token's private key cannot be read out" -- [ ! -s key.out ]
    "${p11[@]}" --read-object --type pubkey --label sig -o hsm.der >/dev/null 2>&1
    openssl pkey -pubin -inform DER -in hsm.der -out hsm.pem
    echo 1234 >pin
    uri='pkcs11:token=release;object=sig;type=private'
    expect 0 "sign in the token" -- env UPDATE_PACK_PIN_FILE=pin ./up sign u.bin -o h.bin --key "$uri"
    expect 0 "create in the token" -- env UPDATE_PACK_PIN_FILE=pin $C --quiet --key "$uri" -o hc.bin
    check "token: create --key = create, then sign" -- cmp -s h.bin hc.bin
    expect 0 "verify the token's package" -- ./up verify h.bin --pub-key hsm.pem
    contains out.txt "full signature: ok"
    expect 1 "a wrong PIN" -- env UPDATE_PACK_PIN=0000 ./up sign u.bin -o x.bin --key "$uri"
else
    echo "update-pack CLI: no SoftHSM or pkcs11-tool, another architecture or not the OpenSSL backend: token not tested"
fi

# Extract writes 0644 files atomically, with its own messages, and a full disk
# (here a file size limit) leaves nothing behind.
expect 0 "extract 0644" -- ./up extract P.bin program --output=x644.bin
check "extract 0644" -- [ "$(stat -c %a x644.bin)" = 644 ]
expect 3 "extract on a full disk" -- bash -c 'trap "" XFSZ; ulimit -f 64; exec ./up extract P.bin 4 -ofull.bin'
contains err.txt "update-pack extract: cannot write the sub-image: File too large"
check "nothing left by a failed extract" -- [ -z "$(ls -A | grep -e full.bin -e '\.tmp-')" ]

# -o - streams the same bytes a file gets; no file named "-".
expect 0 "create to standard output" -- bash -c "$C --key pri_key --quiet -o - >s1.bin"
expect 0 "create to a file" -- $C --key pri_key --quiet -o s2.bin
check "-o - writes the package to standard output" -- cmp -s s1.bin s2.bin
expect 0 "extract to standard output" -- bash -c "./up extract s1.bin 3 -o - >s3.bin"
check "extract -o -" -- cmp -s s3.bin k.bin
check "no file named -" -- [ ! -e - ]

# A signal during create leaves no temporary file (a large sparse image keeps it busy).
truncate -s 400M sparse.img
./up create -o sig.bin --inner I --pub B0102 --board B --image program=sparse.img --unsigned --quiet &
pid=$!
seen=0
for _ in $(seq 300); do ls -A | grep -q '\.tmp-' && seen=1 && break; sleep 0.01; done
kill -TERM "$pid"
wait "$pid"
check "create was writing when SIGTERM came (status $?)" -- [ $seen = 1 ]
check "SIGTERM during create leaves nothing" -- [ -z "$(ls -A | grep -e '\.tmp-' -e sig.bin)" ]
rm -f sparse.img

# The customisation archive: valid, fixed dates, modes kept, readable by
# BusyBox unzip, the same bytes from the same directory.
printf '#!/bin/sh\n' >oem/run.sh && chmod 755 oem/run.sh
for epoch in "" 1700000000; do
    expect 0 "custom dated '$epoch'" -- env SOURCE_DATE_EPOCH=$epoch ./up create -o c$epoch.bin \
        --inner I --pub B0102 --board B --custom oem --unsigned --quiet
    ./up extract "c$epoch.bin" custom -o "c$epoch.zip"
    expect 0 "busybox unzip -l" -- busybox unzip -l "c$epoch.zip"
    if [ -z "$epoch" ]; then contains out.txt "01-01-1980 00:00   oem/run.sh"
    else contains out.txt "11-14-2023 22:13   oem/run.sh"; fi
done
sleep 1 && ./up create -o c2.bin --inner I --pub B0102 --board B --custom oem --unsigned --quiet
check "the same directory gives the same package" -- cmp -s c.bin c2.bin
mkdir bx && (cd bx && busybox unzip -q ../c.zip)
check "busybox unzip gives the files back" -- cmp -s bx/oem/manuinfo.txt oem/manuinfo.txt
check "an executable stays executable" -- [ -x bx/oem/run.sh ]
expect 2 "SOURCE_DATE_EPOCH not a number" -- env SOURCE_DATE_EPOCH=soon ./up create -o c3.bin \
    --inner I --pub B0102 --custom oem --unsigned

# info --json and verify --json: the documented fields, the SHA-256 of each
# sub-image as sha256sum sees it, the verdict and the exit status.
expect 0 "info --json" -- ./up info --json Program.bin --pub-key pub_key
mv out.txt info.json
expect 1 "verify --json of a bad package" -- ./up verify bad.bin --json --pub-key=pub_key
mv out.txt bad.json
python3 - info.json bad.json "$(sha256sum <program.img | cut -c1-64)" <<'PY' || failures=$((failures + 1))
import json, sys
info, bad = (json.load(open(f)) for f in sys.argv[1:3])
assert info["schema"] == "update-pack/1" and info["verdict"] == "pass", info
assert info["head"]["pub_version"] == "B0142P17" and info["boards"][1] == "BRD-K700-Q08@96-X"
e = info["table"]["entries"][4]
assert (e["name"], e["sha256"], e["length"]) == ("prog", sys.argv[3], 300001), e
assert info["table"]["entries"][0]["present"] is False
assert info["signatures"]["legacy"]["result"] == "ok" and info["signatures"]["full"]["result"] == "ok"
assert info["crc"]["ok"] and info["encryption"]["enciphered"] is False and info["custom"] is None
assert bad["verdict"] == "fail" and bad["signatures"]["legacy"]["result"] == "bad", bad
PY

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "update-pack CLI: all checks passed"
