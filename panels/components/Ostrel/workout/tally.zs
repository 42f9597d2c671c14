# Tally: the name on the UMD follows the router's database for the source of the last take.
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
press 1 Tarnel
expect TP 'statesheet=' '1' 'StateIndicate'
expect HN 'clear=1'
expect-parent clear=1
parent sourceID=7
expect RN 201 0 7
expect RC 5 12 40 * 0
expect ET 2 250
expect TP 'text=Camera 1' '1' 'UMD'
answer none
advance 250
expect HN 'setindex=-1'
expect ET 2
expect-parent setindex=-1
# Database 0 of the router, entry 12: the taken source is renamed.
dbchange 5 0 12 Camera One
expect TP 'text=Camera One' '1' 'UMD'
# Another database, another source, another device: ignored.
dbchange 5 1 12 Other
expect-none
dbchange 5 0 13 Camera 2b
expect-none
dbchange 6 0 12 Elsewhere
expect-none
# Another panel routes to the destination: the revertive updates the UMD.
route 5 13 40
expect TP 'text=Camera 2b' '1' 'UMD'
expect-route 5 13 40
# A revertive for another destination is ignored.
revertive 5 41 Camera 9
expect-none
expect-control 1 UMD text Camera 2b
unload
expect RU 5
expect AS
