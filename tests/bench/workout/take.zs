# The test component's take: a timer started and stopped by its parent, and its tally read.
control 1 UMD text=ready

load
expect PS '1' 'test.zeph_ui'
parent start
expect SD 'pkg/mon1'
expect ET 1 100
answer none
advance 100
expect TG '1' 'UMD' 'text'
parent echo=hello
expect SD 'pkg/mon1'
answer "hello"
parent stop
expect SD 'pkg/mon1'
expect ET 1

unload
expect AS
