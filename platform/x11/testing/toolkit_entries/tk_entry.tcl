# A Tk entry that takes the input focus once shown (there is no window manager to give it) and
# prints "text " and its whole text on every change.
fconfigure stdout -encoding utf-8 -buffering line
entry .entry -textvariable content
pack .entry
trace add variable content write {apply {args {puts "text $::content"}}}
tkwait visibility .entry
focus -force .entry
