#!/bin/sh
# Each AVX2 or AVX-512 build (the voice kernel's two, the output chain's lanes kernel) may
# define only its entry functions as global symbols. Any other (an inline function of a shared header emitted out of
# line, say) could be the copy the linker keeps for every caller in the library, and would then
# run AVX2 or AVX-512 code on processors without it. The compiler's exception-handling personality
# reference (DW.ref.*) is data, the same in every object, and is allowed.
# Usage: kernel_symbols_test.sh <nm> <object files of the core library...>
set -eu
nm_tool=$1
shift
# check SOURCE SYMBOLS: the object of SOURCE defines SYMBOLS (one per line, in nm's order) and
# no other global.
check() {
    object=
    source=$1
    expected=$2
    shift 2
    for f in "$@"; do
        case $f in *"$source".o | *"$source".obj) object=$f ;; esac
    done
    [ -n "$object" ] || { echo "FAIL: no object of $source among the core's" >&2; exit 1; }
    # Global definitions only: upper-case types other than U (undefined).
    globals=$("$nm_tool" --defined-only "$object" | awk '$2 ~ /^[A-TV-Z]$/ {print $3}' \
        | grep -v '^DW\.ref\.' || true)
    if [ "$globals" != "$expected" ]; then
        echo "FAIL: $object defines more than its entry functions:" >&2
        printf '%s\n' "$globals" >&2
        exit 1
    fi
    echo "ok: $object defines only $globals"
}
check voice_lanes_avx2.cpp "_Z17mixVoiceLanesAvx2PKfS0_Pfi
_Z20renderVoiceLanesAvx2R11SynthEnginePKfPfi" "$@"
check voice_lanes_avx512.cpp "_Z19mixVoiceLanesAvx512PKfS0_Pfi
_Z22renderVoiceLanesAvx512R11SynthEnginePKfPfi" "$@"
check output_chain_avx2.cpp "_Z16planEnsembleAvx2R11EnsembleRunR12EnsemblePlani
_Z23runOutputChainLanesAvx2R11OutputChainbbPfS1_i" "$@"
