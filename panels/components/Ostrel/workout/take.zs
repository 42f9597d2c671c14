# The road of a take: configure, arm, take source 7, clear. zeph-host run plays it by default.
name pkg/mon1 201 7
name sdi 5
db 201 1 7 40,Monitor 1
db 201 0 7 12,Camera 1
router 5
source 5 1 Black
source 5 12 Camera 1
route 5 1 40
control 1 Tarnel button
control 1 StateIndicate indicator
control 1 UMD text

load
expect PS '1' 'MyMonitor.zeph_ui'
expect TP 'statesheet=' '1' 'StateIndicate'
parent offState=off
expect TP 'statesheet=off' '1' 'StateIndicate'
answer none
parent onState=on
expect-none
parent instance=pkg/mon1
expect SD 'pkg/mon1'
expect RN 201 1 7
parent sdiID=sdi
expect SD 'sdi'
expect RR 5 40 40
expect RP 5 40 40
expect ET 1 10000
# The state that RP asked for arrives once the parent command has returned.
expect TP 'text=Black' '1' 'UMD'
expect ET 1
expect-control 1 UMD text Black
expect-timer 1 stopped

press 1 Tarnel
expect TP 'statesheet=on' '1' 'StateIndicate'
expect HN 'clear=1'
expect-parent clear=1
expect-control 1 StateIndicate statesheet on
parent sourceID=7
expect RN 201 0 7
expect RC 5 12 40 ',' 0
expect ET 2 250
expect TP 'text=Camera 1' '1' 'UMD'
answer none
expect-route 5 12 40
expect-control 1 UMD text Camera 1
expect-timer 2 running
advance 249
expect-none
expect-timer 2 running
advance 1
expect HN 'setindex=-1'
expect ET 2
expect-parent setindex=-1
expect-timer 2 stopped
parent clear=1
expect TP 'statesheet=off' '1' 'StateIndicate'
expect-control 1 StateIndicate statesheet off

unload
expect RU 5
expect AS
