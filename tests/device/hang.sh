#!/bin/sh
# A device tool that hangs: copied first on PATH under the tool's name (fbgrab, sync), it
# appends its pid and the SigBlk and SigIgn lines of its status (what it was started with) to
# $HANG_RECORDS/NAME, sleeps a minute, and only then does the real tool's work, late.
name=${0##*/}
{ echo "pid: $$"; grep -E '^Sig(Blk|Ign):' /proc/$$/status; } >>"$HANG_RECORDS/$name"
sleep 60
exec "/bin/$name" "$@"
