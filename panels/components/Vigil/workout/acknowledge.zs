# Acknowledging: a read-back of 1, a negative one or one above 5 is written 4; 0 and 2 to 5 are
# left alone. "AckAll", "ActionAll" with the event alarm=ack and the parent's ack= all do it.
control 1 ActionAll button
control 1 AckAll button
control 1 alm_1 alarm value=1
control 1 alm_2 alarm value=3

load
expect PS '1' 'AlarmPanel.zeph_ui'

press 1 AckAll
expect XI '1' 'alm_'
expect TP 'alarm=4' '1' 'alm_1'
expect TG '1' 'alm_1' 'value'
expect TP 'value=4' '1' 'alm_1'
expect TP 'alarm=4' '1' 'alm_2'
expect TG '1' 'alm_2' 'value'
expect-none
expect-control 1 alm_1 value 4
expect-control 1 alm_2 value 3

# The same reads and writes; only the alarm property says "ack".
control 1 alm_1 value=7
control 1 alm_2 value=5
press 1 ActionAll alarm=ack
expect XI '1' 'alm_'
expect TP 'alarm=ack' '1' 'alm_1'
expect TG '1' 'alm_1' 'value'
expect TP 'value=4' '1' 'alm_1'
expect TP 'alarm=ack' '1' 'alm_2'
expect TG '1' 'alm_2' 'value'
expect-none

control 1 alm_1 value=0
control 1 alm_2 value=-2
control 1 alm_3 alarm value=12
parent ack=now
expect XI '1' 'alm_'
expect TP 'alarm=4' '1' 'alm_1'
expect TG '1' 'alm_1' 'value'
expect TP 'alarm=4' '1' 'alm_2'
expect TG '1' 'alm_2' 'value'
expect TP 'value=4' '1' 'alm_2'
expect TP 'alarm=4' '1' 'alm_3'
expect TG '1' 'alm_3' 'value'
expect TP 'value=4' '1' 'alm_3'
answer none

# A value the panel never set reads back empty, which is 0: left alone.
control 1 alm_4 alarm
parent ack
expect XI '1' 'alm_'
expect TP 'alarm=4' '1' 'alm_1'
expect TG '1' 'alm_1' 'value'
expect TP 'alarm=4' '1' 'alm_2'
expect TG '1' 'alm_2' 'value'
expect TP 'alarm=4' '1' 'alm_3'
expect TG '1' 'alm_3' 'value'
expect TP 'alarm=4' '1' 'alm_4'
expect TG '1' 'alm_4' 'value'
expect-none
answer none
expect-control 1 alm_4 alarm 4
expect-control 1 alm_4 value ""

unload
expect AS
