#!/bin/sh
# Builds the three target images from the sources in this folder and writes
# init_applet.bin (1088 bytes), flash_applet.bin (2520) and sram_monitor.bin
# (5392) into OUTDIR (default: applet/images of this repository), each padded
# with zeros to its exact size. Fails if an image does not fit.
#
# Usage: target/build.sh [OUTDIR]     (needs arm-none-eabi-gcc, binutils)
set -eu

HERE=$(cd "$(dirname "$0")" && pwd)
OUTDIR=${1:-$HERE/../applet/images}
mkdir -p "$OUTDIR"
OUTDIR=$(cd "$OUTDIR" && pwd)

CROSS=${CROSS:-arm-none-eabi-}
CC=${CROSS}gcc
OBJCOPY=${CROSS}objcopy
CFLAGS="-mcpu=arm7tdmi -marm -Os -ffreestanding -nostdlib -fno-builtin
        -ffunction-sections -fdata-sections -fno-tree-loop-distribute-patterns
        -fno-common -Wall -Wextra -Wshadow -Werror -I$HERE"
LDFLAGS="-mcpu=arm7tdmi -marm -nostdlib -Wl,--gc-sections -Wl,--build-id=none"

# Object files and ELF files go to OBJDIR (kept when given, else temporary).
if [ -n "${OBJDIR:-}" ]; then
    mkdir -p "$OBJDIR"
else
    OBJDIR=$(mktemp -d)
    trap 'rm -rf "$OBJDIR"' EXIT
fi

# image NAME SIZE LDSCRIPT SOURCES...
image() {
    name=$1 size=$2 script=$3
    shift 3
    objs=
    for src in "$@"; do
        obj=$OBJDIR/$name-$(basename "$src").o
        # shellcheck disable=SC2086
        $CC $CFLAGS -c "$HERE/$src" -o "$obj"
        objs="$objs $obj"
    done
    # shellcheck disable=SC2086
    $CC $LDFLAGS -T "$HERE/$script" $objs -lgcc -o "$OBJDIR/$name.elf"
    $OBJCOPY -O binary "$OBJDIR/$name.elf" "$OBJDIR/$name.raw"
    used=$(wc -c < "$OBJDIR/$name.raw")
    if [ "$used" -gt "$size" ]; then
        echo "build.sh: $name is $used bytes, more than its $size" >&2
        exit 1
    fi
    cp "$OBJDIR/$name.raw" "$OBJDIR/$name.pad"
    truncate -s "$size" "$OBJDIR/$name.pad"
    chmod 644 "$OBJDIR/$name.pad"
    mv "$OBJDIR/$name.pad" "$OUTDIR/$name.bin"
    echo "$name.bin: $used of $size bytes used"
}

image init_applet 1088 init_applet.ld applet_entry.S init_applet.c
image flash_applet 2520 flash_applet.ld applet_entry.S flash_applet.c
image sram_monitor 5392 sram_monitor.ld sram_monitor_start.S sram_monitor.c sram_usb.c fifo_copy.S
