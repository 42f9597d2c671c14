# A host may deliver a router's revertives inside the RC or RP call that caused them. The poll is
# for a host that delivers them later: the selector polls only while no revertive has come back.
name pkg/mon1 201 7
name pkg/mon2 201 8
name sdi 5
db 201 1 7 40,Monitor 1
db 201 1 8 41,Monitor 2
db 201 0 7 12,Camera 1
router 5
source 5 1 Black
source 5 12 Camera 1
route 5 1 40
route 5 1 41
control 1 Tarnel button
control 1 StateIndicate indicator
control 1 UMD text

load
expect PS '1' 'MyMonitor.zeph_ui'
expect TP 'statesheet=' '1' 'StateIndicate'
parent instance=pkg/mon1
expect SD 'pkg/mon1'
expect RN 201 1 7
answer none
# An ordinary host: the poll starts, and the state RP asked for stops it once the parent command
# has returned.
parent sdiID=sdi
expect SD 'sdi'
expect RR 5 40 40
expect RP 5 40 40
expect ET 1 10000
expect TP 'text=Black' '1' 'UMD'
expect ET 1
answer none

# The same router now answers inside the call. The new registration's state arrives during RP;
# that first revertive ends the poll (ET 1) before one was started, and none starts.
router 5 inline
parent instance=pkg/mon2
expect SD 'pkg/mon2'
expect RN 201 1 8
expect RU 5
expect RR 5 41 41
expect RP 5 41 41
expect TP 'text=Black' '1' 'UMD'
expect ET 1
answer none
expect-timer 1 stopped
advance 20000
expect-none

# A take: the route's revertive reaches the tally inside RC, before the take timer starts.
press 1 Tarnel
expect TP 'statesheet=' '1' 'StateIndicate'
expect HN 'clear=1'
expect-parent clear=1
parent sourceID=7
expect RN 201 0 7
expect RC 5 12 41 ',' 0
expect TP 'text=Camera 1' '1' 'UMD'
expect ET 2 250
answer none
expect-route 5 12 41
expect-control 1 UMD text Camera 1
advance 250
expect HN 'setindex=-1'
expect ET 2
expect-parent setindex=-1

unload
expect RU 5
expect AS
