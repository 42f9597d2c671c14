# The test component's road: set going, pressed, told of its router, stopped.
name pkg/mon1 201 7
router 5
source 5 12 Camera 1
route 5 12 40
control 1 UMD text=idle
control 1 alm_1

load
expect PS '1' 'test.zeph_ui'
parent echo=ready
expect SD 'pkg/mon1'
answer "ready"
parent start=1
expect SD 'pkg/mon1'
expect ET 1 100
answer none

press 1 Go
expect XI '1' 'alm_'
advance 100
expect TG '1' 'UMD' 'text'
revertive 5 40 Camera 1
expect TP 'text=seen' '1' 'UMD'
dbchange 5 0 12 Camera One
expect RN 5 0 12
parent stop=1
expect SD 'pkg/mon1'
expect ET 1
answer none

unload
expect AS
