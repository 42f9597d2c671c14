# A monitor wall: Ostrel on three monitor panels and Vigil on the alarm panel, sharing router 5,
# the selector database 201 and the clock. mon1 and mon2 watch destination 40 (Monitor 1), mon3
# destination 41: a take on one of the pair reaches both of them, and never mon3.
name pkg/mon1 201 7
name pkg/mon3 201 9
name sdi 5
db 201 1 7 40,Monitor 1
db 201 1 9 41,Monitor 3
db 201 0 7 12,Camera 1
db 201 0 8 13,Camera 2
router 5
source 5 1 Black
source 5 12 Camera 1
source 5 13 Camera 2
route 5 1 40
expect-none
route 5 1 41
expect-none
panel-file MyMonitor.zeph_ui
panel-file AlarmPanel.zeph_ui
# Each monitor's own panel 1 is a panel of the wall: mon1 on 1, mon2 on 2, mon3 on 3.
control 1 Tarnel button
control 1 StateIndicate indicator
control 1 UMD text
control 2 Tarnel button
control 2 StateIndicate indicator
control 2 UMD text
control 3 Tarnel button
control 3 StateIndicate indicator
control 3 UMD text
control 9 AckAll button
control 9 ActionAll button
control 9 alm_1 alarm value=0
control 9 alm_2 alarm value=1

# Configured alike, mon1 and mon2 register on the same destination.
@mon1 load module=Ostrel panel=1
@mon1 expect PS '1' 'MyMonitor.zeph_ui'
@mon1 expect TP 'statesheet=' '1' 'StateIndicate'
@mon1 parent onState=on
@mon1 expect-none
@mon1 answer none
@mon1 parent instance=pkg/mon1
@mon1 expect SD 'pkg/mon1'
@mon1 expect RN 201 1 7
@mon1 answer none
@mon1 parent sdiID=sdi
@mon1 expect SD 'sdi'
@mon1 expect RR 5 40 40
@mon1 expect RP 5 40 40
@mon1 expect ET 1 10000
@mon1 expect TP 'text=Black' '1' 'UMD'
@mon1 expect ET 1
@mon1 answer none
@mon2 load module=Ostrel panel=2
@mon2 expect PS '1' 'MyMonitor.zeph_ui'
@mon2 expect TP 'statesheet=' '1' 'StateIndicate'
@mon2 parent onState=on
@mon2 expect-none
@mon2 answer none
@mon2 parent instance=pkg/mon1
@mon2 expect SD 'pkg/mon1'
@mon2 expect RN 201 1 7
@mon2 answer none
@mon2 parent sdiID=sdi
@mon2 expect SD 'sdi'
@mon2 expect RR 5 40 40
@mon2 expect RP 5 40 40
@mon2 expect ET 1 10000
@mon2 expect TP 'text=Black' '1' 'UMD'
@mon2 expect ET 1
@mon2 answer none
@mon3 load module=Ostrel panel=3
@mon3 expect PS '1' 'MyMonitor.zeph_ui'
@mon3 expect TP 'statesheet=' '1' 'StateIndicate'
@mon3 parent onState=on
@mon3 expect-none
@mon3 answer none
@mon3 parent instance=pkg/mon3
@mon3 expect SD 'pkg/mon3'
@mon3 expect RN 201 1 9
@mon3 answer none
@mon3 parent sdiID=sdi
@mon3 expect SD 'sdi'
@mon3 expect RR 5 41 41
@mon3 expect RP 5 41 41
@mon3 expect ET 1 10000
@mon3 expect TP 'text=Black' '1' 'UMD'
@mon3 expect ET 1
@mon3 answer none
@alarms load module=Vigil panel=9
@alarms expect PS '1' 'AlarmPanel.zeph_ui'

# A take on mon1: its route is a revertive for mon2 too, and for nobody else.
@mon1 press 1 Tarnel
@mon1 expect TP 'statesheet=on' '1' 'StateIndicate'
@mon1 expect HN 'clear=1'
@mon1 expect-parent clear=1
@mon1 parent sourceID=7
@mon1 expect RN 201 0 7
@mon1 expect RC 5 12 40 ',' 0
@mon1 expect ET 2 250
@mon1 expect TP 'text=Camera 1' '1' 'UMD'
@mon1 answer none
@mon2 expect TP 'text=Camera 1' '1' 'UMD'
@mon3 expect-none
@alarms expect-none
expect-route 5 12 40
expect-control 1 UMD text Camera 1
expect-control 2 UMD text Camera 1
@mon2 expect-control 1 UMD text Camera 1
expect-control 3 UMD text Black
# Timers are each instance's own: only mon1 waits to clear its take.
@mon1 expect-timer 2 running
@mon2 expect-timer 2 stopped
advance 250
@mon1 expect HN 'setindex=-1'
@mon1 expect ET 2
@mon1 expect-parent setindex=-1
@mon1 expect-timer 2 stopped
@mon2 expect-none

# A take on mon3 reaches mon3 alone.
@mon3 press 1 Tarnel
@mon3 expect TP 'statesheet=on' '1' 'StateIndicate'
@mon3 expect HN 'clear=1'
@mon3 expect-parent clear=1
@mon3 parent sourceID=8
@mon3 expect RN 201 0 8
@mon3 expect RC 5 13 41 ',' 0
@mon3 expect ET 2 250
@mon3 expect TP 'text=Camera 2' '1' 'UMD'
@mon3 answer none
@mon1 expect-none
@mon2 expect-none
expect-route 5 13 41
expect-control 3 UMD text Camera 2
expect-control 1 UMD text Camera 1
advance 250
@mon3 expect HN 'setindex=-1'
@mon3 expect ET 2
@mon3 expect-parent setindex=-1

# Another panel routes to the pair's destination: both hear it.
route 5 13 40
@mon1 expect TP 'text=Camera 2' '1' 'UMD'
@mon2 expect TP 'text=Camera 2' '1' 'UMD'
@mon3 expect-none
expect-control 2 UMD text Camera 2

# The alarm panel's actions stay on its own panel.
@alarms press 1 alm_2
@alarms expect HN 'alarm=alm_2'
@alarms expect-parent alarm=alm_2
@alarms press 1 ActionAll alarm=2
@alarms expect XI '1' 'alm_'
@alarms expect TP 'alarm=2' '1' 'alm_1'
@alarms expect TP 'value=2' '1' 'alm_1'
@alarms expect TP 'alarm=2' '1' 'alm_2'
@alarms expect TP 'value=2' '1' 'alm_2'
@alarms expect-control 1 alm_1 alarm 2
expect-control 9 alm_2 value 2
expect-control 1 StateIndicate statesheet on

# One of the pair gone, the other still hears the destination.
@mon2 unload
@mon2 expect RU 5
@mon2 expect AS
route 5 1 40
@mon1 expect TP 'text=Black' '1' 'UMD'
expect-control 1 UMD text Black
expect-control 2 UMD text Camera 2
@mon1 unload
@mon1 expect RU 5
@mon1 expect AS
@mon3 unload
@mon3 expect RU 5
@mon3 expect AS
@alarms unload
@alarms expect AS
