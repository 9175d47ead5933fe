#!/usr/bin/env bash
# Creates an emulated device with sample content in the folder given as the first
# argument (made if missing; existing files in it are left alone).
set -euo pipefail
device="${1:?usage: make-sample-device.sh FOLDER}"
fs="$device/fs"
mkdir -p "$fs/My Documents/Personal" "$fs/My Documents/Templates" "$fs/Windows/Start Menu" \
         "$fs/Program Files/Notes" "$fs/Storage Card/Photos"

put() { [ -e "$1" ] || printf '%s' "$2" > "$1"; }
put "$fs/My Documents/Notes.txt" $'Shopping: milk, bread, coffee.\r\nCall the garage on Monday.\r\n'
put "$fs/My Documents/Résumé.txt" $'Curriculum vitae\r\n'
put "$fs/My Documents/Personal/Ideas.txt" $'A tide clock for the kitchen.\r\n'
put "$fs/Windows/Start Menu/Notes.lnk" '22#"\Program Files\Notes\notes.exe"'
put "$fs/Windows/system.ini" $'[boot]\r\nshell=explorer.exe\r\n'
put "$fs/Program Files/Notes/readme.txt" $'Notes 1.0 for handhelds.\r\n'
put "$fs/Storage Card/Photos/harbour.jpg" $'\xff\xd8\xff\xe0 not really a photo'

[ -e "$device/device.plist" ] || cat > "$device/device.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>DeviceClass</key><string>PocketPC</string>
	<key>StoreSize</key><integer>67108864</integer>
	<key>StoreFree</key><integer>41943040</integer>
	<key>CardsTotal</key><integer>1073741824</integer>
	<key>CardsFree</key><integer>805306368</integer>
</dict>
</plist>
PLIST
