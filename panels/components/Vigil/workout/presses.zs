# Presses and parent texts the alarm actions do not take: an alarm control tells the parent which
# one was pressed, anything else does nothing, and unknown parent texts answer nothing.
control 1 alm_1 alarm value=1
control 1 Other button

load
expect PS '1' 'AlarmPanel.zeph_ui'

press 1 alm_1
expect HN 'alarm=alm_1'
expect-parent alarm=alm_1
press 2 alm_9
expect HN 'alarm=alm_9'
expect-parent alarm=alm_9
press 1 Other
expect-none
press 1 alm
expect-none
press 1 ALM_1
expect-none

parent unknown=1
expect-none
answer none
parent _events.x
answer "alarm=*"
parent alm_1=1
expect-none
answer none

# No router and no timer of its own: a tick, a revertive and other type codes do nothing.
tick 1
expect-none
revertive 5 40 Camera 1
expect-none
raw 7
expect-none
raw 99 anything
expect-none

unload
expect AS
