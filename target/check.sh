#!/bin/sh
# Checks the committed target images against their sources:
#  1. rebuilds them into a temporary folder and fails unless each is
#     byte-for-byte equal to applet/images/<name>.bin;
#  2. disassembles the ELF files and fails on any instruction that an
#     ARM7TDMI (ARMv4T, ARM state) does not have: only the ARMv4T ARM
#     instructions are accepted (no blx, clz, ldrd/strd, pld, bkpt, the
#     saturating and DSP multiplies, ARMv6 or later, coprocessor or Thumb).
#
# Usage: target/check.sh      (needs arm-none-eabi-gcc, binutils)
set -eu

HERE=$(cd "$(dirname "$0")" && pwd)
IMAGES=$HERE/../applet/images
OBJDUMP=${CROSS:-arm-none-eabi-}objdump
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

OBJDIR=$TMP/obj "$HERE/build.sh" "$TMP/out" > /dev/null

status=0
for name in init_applet flash_applet sram_monitor; do
    if cmp -s "$TMP/out/$name.bin" "$IMAGES/$name.bin"; then
        echo "$name.bin: matches its sources"
    else
        echo "$name.bin: DIFFERS from a rebuild of target/ (run target/build.sh and commit both)" >&2
        status=1
    fi
done

# One line per instruction: "addr: encoding  mnemonic operands". Data in the
# code (literal pools, the mailbox) shows as .word and is skipped.
cond='(eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al)?'
alu="(and|eor|sub|rsb|add|adc|sbc|rsc|orr|bic|mov|mvn|lsl|lsr|asr|ror|rrx)s?${cond}s?"
cmpi="(tst|teq|cmp|cmn)${cond}"
mult="(mul|mla|umull|umlal|smull|smlal)s?${cond}s?"
mem="(ldr|str)${cond}(b|h|sb|sh|t|bt)?${cond}"
multi="((ldm|stm)${cond}(ia|ib|da|db|fd|fa|ed|ea)?${cond}|push${cond}|pop${cond})"
other="(b|bl|bx|swp|swpb|swi|svc|mrs|msr|nop)${cond}"
allowed="^(${alu}|${cmpi}|${mult}|${mem}|${multi}|${other})$"

for name in init_applet flash_applet sram_monitor; do
    "$OBJDUMP" -d "$TMP/obj/$name.elf" |
        awk -F'\t' '/^ *[0-9a-f]+:\t/ { print $2 "\t" $3 "\t" $4 }' > "$TMP/$name.dis"
    bad=$(awk -F'\t' -v allowed="$allowed" '
        $2 ~ /^\.(word|short|byte)/ { next }
        {
            enc = $1; gsub(/ /, "", enc); mn = $2; gsub(/ /, "", mn)
            if (enc !~ /^[0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f]$/ || mn !~ allowed) print "  " $0
        }' "$TMP/$name.dis")
    if [ -n "$bad" ]; then
        echo "$name: instructions an ARM7TDMI lacks:" >&2
        echo "$bad" >&2
        status=1
    else
        echo "$name: ARMv4T instructions only ($(wc -l < "$TMP/$name.dis") lines checked)"
    fi
done
exit $status
