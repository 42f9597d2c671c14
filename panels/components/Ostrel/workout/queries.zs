# The parent's queries: settings, events and commands, and the keys the selector does not know.
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
parent sdiID=sdi
expect SD 'sdi'
answer none
parent instance=pkg/mon1
expect SD 'pkg/mon1'
expect RN 201 1 7
expect RR 5 40 40
expect RP 5 40 40
expect ET 1 10000
expect TP 'text=Black' '1' 'UMD'
expect ET 1
answer none
parent return=all
expect-none
answer "sdiID=sdi\noffState=off\nonState=on"
parent return=myInstance
expect-none
answer "myInstance=pkg/mon1"
parent return=offState
expect-none
answer "offState=off"
parent return=onState
expect-none
answer "onState=on"
parent return=sdiID
expect-none
answer none
parent return
expect-none
answer none
parent _events
expect-none
answer "clear=*\nsetindex=*"
parent _commands
expect-none
answer "sourceID=[value]\nclear=[value]"
parent unknown=1
expect-none
answer none
raw 7
expect-none
raw 99 anything
expect-none
raw -1
expect-none
unload
expect RU 5
expect AS
