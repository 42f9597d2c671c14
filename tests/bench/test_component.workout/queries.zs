# What the test component answers its parent, and the notifications it takes quietly.
control 1 UMD text=idle
load
expect PS '1' 'test.zeph_ui'
parent _commands
expect SD 'pkg/mon1'
answer "start=[value]\nstop=[value]"
parent _events
expect SD 'pkg/mon1'
answer "changed=*"
parent echo=
expect SD 'pkg/mon1'
answer none
tick 3
expect TG '1' 'UMD' 'text'
raw 7
expect-none
unload
expect AS
