# Arming and clearing: only an armed selector takes, "clear=1" disarms, anything else does not.
name pkg/mon1 201 7
name pkg/mon2 201 8
name sdi 5
name sdi2 6
db 201 1 7 40,Monitor 1
db 201 1 8 41,Monitor 2
db 201 0 7 12,Camera 1
db 201 0 9 13,Camera 2
router 5
router 6
source 5 1 Black
source 5 12 Camera 1
source 5 13 Camera 2
source 6 12 Studio Camera 1
route 5 1 40
expect-none
route 5 1 41
expect-none
source 6 1 Studio Black
route 6 1 40
expect-none
route 6 1 41
expect-none
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
answer none
parent instance=pkg/mon1
expect SD 'pkg/mon1'
expect RN 201 1 7
answer none
parent sdiID=sdi
expect SD 'sdi'
expect RR 5 40 40
expect RP 5 40 40
expect ET 1 10000
expect TP 'text=Black' '1' 'UMD'
expect ET 1
answer none
# Disarmed: a source is ignored entirely.
parent sourceID=7
expect-none
answer none
press 1 Tarnel
expect TP 'statesheet=on' '1' 'StateIndicate'
expect HN 'clear=1'
expect-parent clear=1
# Armed again: only the parent hears of it.
press 1 Tarnel
expect HN 'clear=1'
expect-parent clear=1
# Another control, another panel: ignored.
press 1 UMD
expect-none
press 2 Tarnel
expect-none
parent clear=0
expect-none
answer none
parent clear=1
expect TP 'statesheet=off' '1' 'StateIndicate'
answer none
parent clear=1
expect-none
answer none
parent sourceID=7
expect-none
answer none
# Armed, a source with no router source (database 0 entry 0): only the post-take timer.
press 1 Tarnel
expect TP 'statesheet=on' '1' 'StateIndicate'
expect HN 'clear=1'
expect-parent clear=1
parent sourceID=0
expect ET 2 250
answer none
advance 250
expect HN 'setindex=-1'
expect ET 2
expect-parent setindex=-1
parent onState=red
expect TP 'statesheet=red' '1' 'StateIndicate'
answer none
parent offState=grey
expect-none
answer none
parent clear=1
expect TP 'statesheet=grey' '1' 'StateIndicate'
answer none
unload
expect RU 5
expect AS
