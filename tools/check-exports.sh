#!/usr/bin/env bash
# Compares the dynamic symbol table of libDrvFins.so with what the component may export: the
# runtime-facing functions under plain names, and the utility library. Server internals (protocol,
# loop, records, memory areas, import slots) must stay hidden.
set -euo pipefail
lib=${1:?usage: check-exports.sh libDrvFins.so}

plain=(ComponentEntry fb_finstcp__main fb_finsudp__main
       kelLogCreate kelLogDelete kelLogAdd kelLogAddF
       kelLogAddInfoF kelLogAddWarnF kelLogAddErrorF kelLogAddDebugF kelLogAddPrintfF)
internal='CEventLoop|CAccessList|FinsSettings|CSocketConnection|ISocketServer|TcpServer|UdpServer|CFinsProtocol|CMessage|CAppAreaMemmory|CFinsServer|CDrvIoEvent|SwapByteOrderAll|GetIpAddrLastValue|EventLoopTestPeer'

# NM: the target's nm in a cross build.
symbols=$("${NM:-nm}" -D --defined-only "$lib" | awk '$2 ~ /^[TtWwVvDdBbRru]$/ {print $3}')
status=0
for name in "${plain[@]}"; do
    if ! grep -qx "$name" <<<"$symbols"; then
        echo "check-exports: $name is not exported" >&2
        status=1
    fi
done
while read -r sym; do
    [ -z "$sym" ] && continue
    case "$sym" in
    _Z*)
        demangled=$(c++filt "$sym")
        if grep -qE "$internal" <<<"$demangled"; then
            echo "check-exports: internal symbol exported: $demangled" >&2
            status=1
        fi
        ;;
    _init | _fini | _edata | _end | __bss_start) ;;
    *)
        # Not a pipe into grep -q: with pipefail, printf's SIGPIPE after an early match would
        # count as a miss.
        if [[ " ${plain[*]} " != *" $sym "* ]]; then
            echo "check-exports: unexpected plain symbol exported: $sym" >&2
            status=1
        fi
        ;;
    esac
done <<<"$symbols"
exit $status
