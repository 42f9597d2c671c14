# The poll: until the first revertive for its destination arrives, the selector asks every 10 s.
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
router 5 drop 2
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
answer none
advance 9999
expect-none
advance 1
expect RP 5 40 40
expect-timer 1 running
# The second poll's answer is lost too; the third one arrives, 200 ms late.
router 5 delay 200
advance 10000
expect RP 5 40 40
advance 200
expect TP 'text=Black' '1' 'UMD'
expect ET 1
advance 9800
expect-none
# Once a revertive has been seen, the poll is over.
advance 30000
expect-none
expect-timer 1 stopped
expect-control 1 UMD text Black
unload
expect RU 5
expect AS
