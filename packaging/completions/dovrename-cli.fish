# fish completion for dovrename-cli. One line per option of each command.
set -l commands rename undo history tags duration
complete -c dovrename-cli -f
complete -c dovrename-cli -n "not __fish_seen_subcommand_from $commands" -s h -l help -d 'Print the help and exit'
complete -c dovrename-cli -n "not __fish_seen_subcommand_from $commands" -l version -d 'Print the version and exit'
complete -c dovrename-cli -n "not __fish_seen_subcommand_from $commands" -a rename -d 'Rename, move or copy the audio files of a folder'
complete -c dovrename-cli -n "not __fish_seen_subcommand_from $commands" -a undo -d 'Take a rename job back'
complete -c dovrename-cli -n "not __fish_seen_subcommand_from $commands" -a history -d 'List the journals of rename jobs'
complete -c dovrename-cli -n "not __fish_seen_subcommand_from $commands" -a tags -d 'Print the tag fields of audio files'
complete -c dovrename-cli -n "not __fish_seen_subcommand_from $commands" -a duration -d 'Print the play length of audio files'

complete -c dovrename-cli -n "__fish_seen_subcommand_from $commands" -s h -l help -d 'Print the help and exit'

complete -c dovrename-cli -n "__fish_seen_subcommand_from rename" -a '(__fish_complete_directories)'
complete -c dovrename-cli -n "__fish_seen_subcommand_from rename" -l subfolders -d 'Include subfolders'
complete -c dovrename-cli -n "__fish_seen_subcommand_from rename" -l rename -d 'Rename files to "Artist - Title"'
complete -c dovrename-cli -n "__fish_seen_subcommand_from rename" -l move -d 'Move files into genre folders'
complete -c dovrename-cli -n "__fish_seen_subcommand_from rename" -l copy -d 'Copy files into genre folders'
complete -c dovrename-cli -n "__fish_seen_subcommand_from rename" -l dest -x -a '(__fish_complete_directories)' -d 'Root of the genre folders'
complete -c dovrename-cli -n "__fish_seen_subcommand_from rename" -l replace-char -x -d 'Character for the ones not allowed in names'
complete -c dovrename-cli -n "__fish_seen_subcommand_from rename" -l dry-run -d 'Only list what would be done'
complete -c dovrename-cli -n "__fish_seen_subcommand_from rename" -l verbose -d 'With --dry-run, list the files without name tags'
complete -c dovrename-cli -n "__fish_seen_subcommand_from rename" -l json -d 'Print the result as JSON'
complete -c dovrename-cli -n "__fish_seen_subcommand_from rename" -l quiet -d 'Show no progress line'
complete -c dovrename-cli -n "__fish_seen_subcommand_from rename" -l journal -r -F -d 'Keep the journal in a new FILE'
complete -c dovrename-cli -n "__fish_seen_subcommand_from rename" -l no-journal -d 'Keep no journal'

complete -c dovrename-cli -n "__fish_seen_subcommand_from undo" -F
complete -c dovrename-cli -n "__fish_seen_subcommand_from undo" -l dry-run -d 'Only print the plan'
complete -c dovrename-cli -n "__fish_seen_subcommand_from undo" -l json -d 'Print the result as JSON'

complete -c dovrename-cli -n "__fish_seen_subcommand_from history" -l json -d 'Print the journals as JSON'

complete -c dovrename-cli -n "__fish_seen_subcommand_from tags" -F
complete -c dovrename-cli -n "__fish_seen_subcommand_from tags" -l json -d 'Print the fields as JSON'
complete -c dovrename-cli -n "__fish_seen_subcommand_from tags" -l full -d 'Print long binary values whole'

complete -c dovrename-cli -n "__fish_seen_subcommand_from duration" -F
