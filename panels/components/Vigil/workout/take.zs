# An ordinary shift on the alarm panel: an alarm is pressed, all alarms are set to 2 and then
# acknowledged from the panel, the parent asks what the panel offers, and the panel goes.
panel-file AlarmPanel.zeph_ui
control 1 ActionAll button
control 1 AckAll button
control 1 alm_1 alarm value=0
control 1 alm_2 alarm value=1

load
expect PS '1' 'AlarmPanel.zeph_ui'

press 1 alm_2
expect HN 'alarm=alm_2'
expect-parent alarm=alm_2

press 1 ActionAll alarm=2
expect XI '1' 'alm_'
expect TP 'alarm=2' '1' 'alm_1'
expect TP 'value=2' '1' 'alm_1'
expect TP 'alarm=2' '1' 'alm_2'
expect TP 'value=2' '1' 'alm_2'
expect-control 1 alm_1 alarm 2
expect-control 1 alm_2 value 2

# Both now read back 2, which an acknowledge leaves alone.
press 1 AckAll
expect XI '1' 'alm_'
expect TP 'alarm=4' '1' 'alm_1'
expect TG '1' 'alm_1' 'value'
expect TP 'alarm=4' '1' 'alm_2'
expect TG '1' 'alm_2' 'value'
expect-none
expect-control 1 alm_1 alarm 4
expect-control 1 alm_1 value 2

parent _events
answer "alarm=*"
parent _commands
answer "action=[value]\nack=[value]"

unload
expect AS
