#!/bin/sh
# Checks that each device binary starts on any MIPS32 core: static, flagged MIPS32 release 1
# and soft-float, and holding no release-2-only or FPU instruction. musl's rdhwr of the thread
# pointer ($29) is the one exception: kernels trap and emulate it on release-1 cores.
set -u
failed=0
for binary; do
    name=$(basename "$binary")
    description=$(file -b "$binary")
    case $description in
        "ELF 32-bit LSB executable, MIPS, MIPS32 version 1 (SYSV), statically linked"*) ;;
        *) echo "$name: file says: $description"; failed=1 ;;
    esac
    attributes=$(mipsel-linux-gnu-readelf -A "$binary")
    echo "$attributes" | grep -q 'ISA: MIPS32$' || { echo "$name: readelf -A gives no 'ISA: MIPS32'"; failed=1; }
    echo "$attributes" | grep -q 'FP ABI: Soft float' || { echo "$name: readelf -A gives no 'FP ABI: Soft float'"; failed=1; }
    # Disassembled as release 2, so that release-2 opcodes show by name rather than as .word.
    bad=$(mipsel-linux-gnu-objdump -d -m mips:isa32r2 "$binary" | awk -F'\t' 'NF >= 3 {
        op = $3; args = $4
        if (op == "rdhwr" && args == "v1,$29") next
        if (op ~ /^(ext|ins|seb|seh|wsbh|rotr|rotrv|di|ei|synci|rdhwr|rdpgpr|wrpgpr|jr\.hb|jalr\.hb|ehb)$/ ||
            op ~ /^(lwc1|swc1|ldc1|sdc1|lwxc1|swxc1|ldxc1|sdxc1|luxc1|suxc1|mfc1|mtc1|mfhc1|mthc1|cfc1|ctc1|bc1fl?|bc1tl?|movf|movt)$/ ||
            op ~ /^[a-z0-9.]+\.(s|d|ps|w|l)$/)
            print $1, op, args
    }')
    if [ -n "$bad" ]; then
        echo "$name: instructions a MIPS32 release-1 core without FPU cannot run:"
        echo "$bad" | head -n 20
        failed=1
    fi
done
[ $failed = 0 ] && echo "release 1, soft-float, static: $*"
exit $failed
