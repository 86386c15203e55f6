# Sourced by the benchmark scripts: the executables of build tree $build, the simulated phone's
# UDID and the timing helpers.
sim=$build/peers/phone-sim/brimo-phone-sim
service=$build/Brimo.app/Contents/XPCServices/BrimoService.xpc/Contents/MacOS/BrimoService
brimoctl=$build/Brimo.app/Contents/MacOS/brimoctl
udid=00008030-0000000000BE4C13

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { print b - a }'; }
# MiB/s of $1 bytes in $2 seconds.
rate() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / (s * 1048576) }'; }
