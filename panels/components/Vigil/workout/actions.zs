# Actions other than acknowledge: a one-character action is written as the value, a longer one
# has no code and sets only the alarm property; the parent's action= acts as "ActionAll" does.
control 1 ActionAll button
control 1 alm_1 alarm value=1
control 1 alm_2 alarm value=1

load
expect PS '1' 'AlarmPanel.zeph_ui'

press 1 ActionAll alarm=2
expect XI '1' 'alm_'
expect TP 'alarm=2' '1' 'alm_1'
expect TP 'value=2' '1' 'alm_1'
expect TP 'alarm=2' '1' 'alm_2'
expect TP 'value=2' '1' 'alm_2'
expect-none

press 1 ActionAll alarm=12
expect XI '1' 'alm_'
expect TP 'alarm=12' '1' 'alm_1'
expect TP 'alarm=12' '1' 'alm_2'
expect-none

parent action=0
expect XI '1' 'alm_'
expect TP 'alarm=0' '1' 'alm_1'
expect TP 'value=0' '1' 'alm_1'
expect TP 'alarm=0' '1' 'alm_2'
expect TP 'value=0' '1' 'alm_2'
answer none

parent action=ack
expect XI '1' 'alm_'
expect TP 'alarm=ack' '1' 'alm_1'
expect TG '1' 'alm_1' 'value'
expect TP 'alarm=ack' '1' 'alm_2'
expect TG '1' 'alm_2' 'value'
answer none

parent action=reset
expect XI '1' 'alm_'
expect TP 'alarm=reset' '1' 'alm_1'
expect TP 'alarm=reset' '1' 'alm_2'
answer none

# Another event command is not an alarm action: the press reaches the panel, which ignores it.
press 1 ActionAll reset=1
expect-none
press 1 ActionAll
expect-none

unload
expect AS
