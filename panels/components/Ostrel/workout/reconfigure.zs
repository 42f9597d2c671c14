# Re-configuration: a new instance or router moves the registration; the same name changes nothing.
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
# The same instance again is not looked up again.
parent instance=pkg/mon1
expect-none
answer none
# Another instance: new destination 41 on the same router.
parent instance=pkg/mon2
expect SD 'pkg/mon2'
expect RN 201 1 8
expect RU 5
expect RR 5 41 41
expect RP 5 41 41
expect ET 1 10000
expect TP 'text=Black' '1' 'UMD'
expect ET 1
answer none
# Another router: registration moves to device 6.
parent sdiID=sdi2
expect SD 'sdi2'
expect RU 5
expect RR 6 41 41
expect RP 6 41 41
expect ET 1 10000
expect TP 'text=Studio Black' '1' 'UMD'
expect ET 1
answer none
# A name the facility cannot resolve is stored but changes nothing.
parent instance=pkg/unknown
expect SD 'pkg/unknown'
answer none
parent instance=pkg/unknown
expect-none
answer none
parent sdiID=nowhere
expect SD 'nowhere'
answer none
unload
expect RU 6
expect AS
