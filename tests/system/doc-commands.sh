# The command lines of README.md, docs/recipes.md and the manual pages, and the list that says
# how each is run (tests/system/doc-commands.list). Functions only; source this file.
#   doc_commands_listed    the list and the docs agree (a ctest test: cheap, no root)
#   check_doc_commands     runs every listed line (a check of tests/system/test-systemd.sh,
#                          which defines inside, pass, fail and the rest that it uses)

doc_list=tests/system/doc-commands.list
doc_files=(README.md docs/recipes.md man/lomarind-server.8 man/lomarind.1)

# The programs a documented command line starts with: a line of a code block or an example
# that starts with one of them (after a "$ " or "# " prompt, or a "LABEL: " such as the
# README's "sleep command:   ") is a command line, as is every line of a Markdown block marked
# sh, and every line that continues one (after a "\", a "|", an "&&" or an open quote). In a
# block marked yaml, the command lines are the values of the keys that hold a shell command
# (command, command_on, command_off, command_state and the like), as the shell gets them.
doc_command_words='lomarind|/usr/bin/lomarind|/usr/local/bin/lomarind|/config/lomarind|/usr/libexec/lomarind/server|build/lomarind|build/server|build/bench/lomarind-bench|make|cmake|ctest|cd|apt|apt-get|dpkg|sudo|systemctl|journalctl|busctl|systemd-inhibit|systemd-analyze|mkdir|echo|kill|python3|ssh|ufw|openssl|head'

# doc_example_lines DOC: each line of DOC's code blocks (README) or .EX examples (manual
# pages) as a reader sees it (roff escapes rendered), after its kind and a tab: "cmd" (a
# command line), "cont" (a line continuing the one before), "out" (a line a "$ " session
# shows as output) or "other" (a file's text, output, a table).
doc_example_lines() {
	words="^(\\$ |# )?($doc_command_words)( |\$)" man=$([[ $1 == *.md ]] || echo 1) awk '
		BEGIN { words = ENVIRON["words"]; man = ENVIRON["man"] }
		function render(s) {
			gsub(/\\-/, "-", s); gsub(/\\\(aq/, "\047", s); gsub(/\\\(dq/, "\"", s)
			gsub(/\\f[IBRP]/, "", s); gsub(/\\&/, "", s); gsub(/\\e/, "\\", s)
			return s
		}
		# Whether the shell reads on into the next line: a quote still open (carried from
		# line to line), or a line (its comment aside) that ends in a backslash, a pipe or
		# an && or ||.
		function continues(s,    i, c, q, rest) {
			q = carry
			for (i = 1; i <= length(s); i++) {
				c = substr(s, i, 1)
				if (q == "\047") { if (c == "\047") q = ""; continue }
				if (c == "\\") { i++; continue }
				if (q == "\"") { if (c == "\"") q = ""; continue }
				if (c == "\047" || c == "\"") { q = c; continue }
				if (c == "#" && (i == 1 || substr(s, i - 1, 1) ~ /[ \t]/)) break
			}
			carry = q
			if (q != "") return 1
			rest = substr(s, 1, i - 1)
			sub(/[ \t]+$/, "", rest)
			return rest ~ /(\\|\||&&)$/
		}
		function command_like(s) {
			if (s ~ words || s ~ /^\(/) return 1
			# A label before the command, as in the README dashboard lines.
			return !man && s ~ /^[A-Za-z][A-Za-z ()]*: +/ && sub(/^[A-Za-z][A-Za-z ()]*: +/, "", s) && s ~ words
		}
		function emit(kind, s) { printf "%s\t%s\n", kind, s }
		# A YAML value that holds a command: a plain scalar, or one in single quotes (a doubled
		# quote stands for one) or double quotes (without escapes), on one line.
		function yaml_command(s) {
			sub(/^[ \t]*(- +)?command(_(on|off|state|open|close|stop))?:[ \t]+/, "", s)
			sub(/[ \t]+$/, "", s)
			if (s ~ /^\047.*\047$/) { s = substr(s, 2, length(s) - 2); gsub(/\047\047/, "\047", s) }
			else if (s ~ /^".*"$/) s = substr(s, 2, length(s) - 2)
			return s
		}
		!man && /^```/ {
			inside = !inside; sh = inside && $0 ~ /^```sh/; yaml = inside && $0 ~ /^```yaml/; more = 0
			next
		}
		!man && inside && yaml {
			# A block scalar (> or |) is not read: its line stays a command line as it stands, so
			# that the list must still say what becomes of it.
			if ($0 ~ /^[ \t]*(- +)?command(_(on|off|state|open|close|stop))?:[ \t]+[>|]/) emit("cmd", $0)
			else if ($0 ~ /^[ \t]*(- +)?command(_(on|off|state|open|close|stop))?:[ \t]+/) emit("cmd", yaml_command($0))
			else emit("other", $0)
			next
		}
		man && /^\.EX/ { inside = 1; session = 0; more = 0; next }
		man && /^\.EE/ { inside = 0; next }
		!inside { next }
		{
			line = man ? render($0) : $0
			if (more) kind = "cont"
			else if (!(carry = "") && line ~ /^\$ /) { kind = "cmd"; session = 1 }
			else if ((sh && line ~ /[^ \t]/) || command_like(line)) kind = "cmd"
			else kind = session ? "out" : "other"
			more = (kind == "cmd" || kind == "cont") && continues(line)
			emit(kind, line)
		}
	' "$1"
}

# doc_command_lines DOC: DOC's command lines and their continuations, one a line.
doc_command_lines() {
	doc_example_lines "$1" | awk -F '\t' '$1 == "cmd" || $1 == "cont" { sub(/^[^\t]*\t/, ""); print }'
}

# doc_read_list: reads the list into arrays indexed by entry: doc_doc (the doc's
# path), doc_text (the command, its lines joined by line feeds), and one per attribute
# (doc_run, doc_not_run, doc_before, doc_as, doc_expect, doc_then, doc_stop, doc_note;
# doc_as holds one "FROM => TO" a line). doc_entries is their number. Returns 1, saying why
# on standard error, for a line it cannot read.
doc_read_list() {
	local file=$doc_list line n=0 last='' key value number=0
	doc_doc=() doc_text=() doc_run=() doc_not_run=() doc_before=() doc_as=() doc_expect=()
	doc_then=() doc_stop=() doc_note=()
	while IFS= read -r line || [ -n "$line" ]; do
		number=$((number + 1))
		case "$line" in
		'' | '#'*) last= ;;
		'  '*)
			[ "$last" = attribute ] || [ "$last" = entry ] || {
				echo "$file:$number: an attribute without a command line above it" >&2
				return 1
			}
			key=${line#  } key=${key%%:*} value=${line#*: }
			case "$key" in
			run) doc_run[n]=$value ;;
			'not run') doc_not_run[n]=$value ;;
			before) doc_before[n]=$value ;;
			as) doc_as[n]+="$value"$'\n' ;;
			expect) doc_expect[n]=$value ;;
			then) doc_then[n]=$value ;;
			stop) doc_stop[n]=$value ;;
			note) doc_note[n]+="$value " ;;
			*)
				echo "$file:$number: unknown attribute '$key'" >&2
				return 1
				;;
			esac
			last=attribute
			;;
		*)
			local doc=${line%%: *} text=${line#*: }
			if [[ " ${doc_files[*]} " != *" $doc "* ]] || [ "$line" = "$doc" ]; then
				echo "$file:$number: neither an entry ('DOC: command') nor an attribute ('  key: value'): $line" >&2
				return 1
			fi
			if [ "$last" = entry ] && [ "${doc_doc[n]}" = "$doc" ]; then
				doc_text[n]+=$'\n'"$text"
			else
				n=$((n + 1))
				doc_doc[n]=$doc doc_text[n]=$text
			fi
			last=entry
			;;
		esac
	done <"$file"
	doc_entries=$n
}

# The list and the docs agree: every line of the list is a command line of its doc, every
# command line of the docs is in the list (as many times as the doc shows it), and each entry
# is either run, with what it must give, or not run, with the reason.
doc_commands_listed() {
	doc_read_list || return 1
	local i doc problems=0 listed shown
	for ((i = 1; i <= doc_entries; i++)); do
		if [ -n "${doc_run[i]:-}" ] && [ -n "${doc_not_run[i]:-}" ] || [ -z "${doc_run[i]:-}${doc_not_run[i]:-}" ]; then
			echo "doc-commands: '${doc_text[i]%%$'\n'*}' ($doc_list): give either 'run:' or 'not run:'" >&2
			problems=$((problems + 1))
		elif [ -n "${doc_run[i]:-}" ] && [ -z "${doc_expect[i]:-}" ]; then
			echo "doc-commands: '${doc_text[i]%%$'\n'*}' ($doc_list): 'run:' without 'expect:'" >&2
			problems=$((problems + 1))
		fi
	done
	for doc in "${doc_files[@]}"; do
		[ -f "$doc" ] || {
			echo "doc-commands: no $doc" >&2
			return 1
		}
		listed=$(for ((i = 1; i <= doc_entries; i++)); do
			[ "${doc_doc[i]}" = "$doc" ] && printf '%s\n' "${doc_text[i]}"
		done | LC_ALL=C sort)
		shown=$(doc_command_lines "$doc" | LC_ALL=C sort)
		while IFS= read -r line; do
			[ -n "$line" ] || continue
			echo "doc-commands: $doc shows a command line that $doc_list does not list: '$line'" >&2
			problems=$((problems + 1))
		done < <(LC_ALL=C comm -23 <(printf '%s\n' "$shown") <(printf '%s\n' "$listed"))
		while IFS= read -r line; do
			[ -n "$line" ] || continue
			echo "doc-commands: $doc_list lists a line that $doc does not show as a command line (changed or gone?): '$line'" >&2
			problems=$((problems + 1))
		done < <(LC_ALL=C comm -13 <(printf '%s\n' "$shown") <(printf '%s\n' "$listed"))
	done
	if [ "$problems" != 0 ]; then
		echo "doc-commands: $problems problems: each command line of ${doc_files[*]} must be in $doc_list, exactly as the doc shows it, with how the booted test runs it" >&2
		return 1
	fi
	local run=0
	for ((i = 1; i <= doc_entries; i++)); do [ -z "${doc_run[i]:-}" ] || run=$((run + 1)); done
	echo "doc-commands: the $doc_entries command lines of ${doc_files[*]} are listed in $doc_list: $run run by tests/system/test-systemd.sh, $((doc_entries - run)) not run, each with its reason"
}

# doc_output_shown DOC COMMAND: the output lines that DOC shows under COMMAND (its lines
# joined by line feeds, as in doc_text).
doc_output_shown() {
	doc_example_lines "$1" | want=$2 awk -F '\t' '
		{ text = substr($0, index($0, "\t") + 1) }
		$1 == "cmd" { command = text; found = 0; next }
		$1 == "cont" { command = command "\n" text; next }
		$1 == "out" && command == ENVIRON["want"] && !done { print text; found = 1; next }
		{ if (found) done = 1; command = "" }
		END { if (found) done = 1 }
	'
}

# --- the runs, in the booted container and on this machine ----------------------------------
# What follows uses test-systemd.sh's inside, wait_for, restart_daemon, start_unit, port_is,
# unit_is, pass and fail, and its root, work, netns, deb and BUILD.

doc_path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

# doc_in_container SCRIPT [TIMEOUT]: runs SCRIPT with bash in the container's /root/doc, as
# the list says; with TIMEOUT, it is interrupted (SIGINT) after so many seconds. Output on
# standard output, both streams; its status.
doc_in_container() {
	{ printf 'cd /root/doc || exit 99\n'; printf '%s\n' "$1"; } >"$root/root/doc/command.sh"
	if [ -n "${2:-}" ]; then
		inside env HOME=/home/ann PATH="$doc_path" timeout -s INT "$2" bash /root/doc/command.sh 2>&1
	else
		inside env HOME=/home/ann PATH="$doc_path" bash /root/doc/command.sh 2>&1
	fi
}

# doc_host_command SCRIPT NAME: sets doc_host_argv to the command line that runs SCRIPT with
# bash in the test's copy of the tree, in the test's network namespace and a mount namespace
# of its own whose /usr and /etc are overlaid with layers on a tmpfs that goes with it.
# SIGINT and SIGQUIT are taken as in a terminal: bash starts a command in the background with
# both ignored, and Ctrl-C must reach make as well as what it runs.
doc_host_command() {
	{ printf 'cd %q || exit 99\n' "$doc_tree"; printf '%s\n' "$1"; } >"$work/doc/$2.sh"
	doc_host_argv=(ip netns exec "$netns" unshare -m --propagation private bash -c '
		mount -t tmpfs lmr-doc "$1" && mkdir "$1/usr" "$1/usr.work" "$1/etc" "$1/etc.work" &&
		mount -t overlay lmr-doc-usr -o "lowerdir=/usr,upperdir=$1/usr,workdir=$1/usr.work" /usr &&
		mount -t overlay lmr-doc-etc -o "lowerdir=/etc,upperdir=$1/etc,workdir=$1/etc.work" /etc ||
			{ echo "doc-commands: cannot overlay /usr and /etc" >&2; exit 99; }
		exec env -i --default-signal=INT,QUIT HOME="$2" PATH="$3" LANG=C.UTF-8 TERM=dumb bash "$4"' lmr-doc \
		"$work/doc/overlay" "$work/doc/home" "$work/doc/shim:$doc_path" "$work/doc/$2.sh")
}
# doc_in_host SCRIPT [THEN]: runs SCRIPT so, and THEN after it in the same namespaces (what
# SCRIPT installed is still there); SCRIPT's output on standard output, THEN's in
# $work/doc/then.out and its status in $work/doc/then.status. SCRIPT's status.
doc_in_host() {
	local out=$work/doc/then.out
	rm -f "$out" "$work/doc/then.status"
	doc_host_command "{ $1
}
status=\$?
${2:+exec >$(printf %q "$out") 2>&1
$2
echo \$? >$(printf %q "$work/doc/then.status")}
exit \$status" run
	timeout 900 "${doc_host_argv[@]}" 2>&1
}

# The state a line needs (its "before:"), in the container unless named for this machine.
doc_scene_fresh_keys() {
	inside rm -rf /home/ann/.config/lomarind && inside install -m 600 /root/lmr-keys /etc/lomarind/keys &&
		restart_daemon
}
# doc_daemon_9999 ENVIRONMENT OPTIONS...: a daemon on UDP port 9999 beside the unit's, with
# OPTIONS, in a transient unit of its own; ENVIRONMENT, when not empty, is its Environment=.
doc_daemon_9999() {
	local environment=$1
	shift
	inside systemctl stop lmr-doc-9999.service 2>/dev/null
	inside systemctl reset-failed lmr-doc-9999.service 2>/dev/null
	inside systemd-run --quiet --unit=lmr-doc-9999 ${environment:+-p "Environment=$environment"} \
		/usr/libexec/lomarind/server -p 9999 "$@" && wait_for 5 port_is 9999 server
}
# The README's client lines: the controller's file holds a key for each of nas, 192.168.1.20
# and media, made by keygen; the unit's file the first two (with names of their own: two
# lines named after this machine would be one name twice), and a keyed daemon on port 9999
# the third. That daemon stands for another machine: a second sleep asked of the container's
# logind while the first goes on would be refused, so media's is the fake systemctl's (first
# on its PATH), which only records the call.
doc_scene_hosts() {
	install -D -m 755 tests/support/fake_systemctl "$root/root/doc/media-bin/systemctl" &&
		doc_scene_fresh_keys &&
		inside sh -c 'k=/home/ann/.config/lomarind/keys && mkdir -p /home/ann/.config/lomarind &&
			lomarind keygen $k nas ctl-nas >>/etc/lomarind/keys &&
			lomarind keygen $k 192.168.1.20 ctl-ip >>/etc/lomarind/keys &&
			(umask 077 && lomarind keygen $k media ctl-media >/root/doc/media.keys)' 2>/dev/null &&
		restart_daemon &&
		doc_daemon_9999 "PATH=/root/doc/media-bin:/usr/sbin:/usr/bin:/sbin:/bin LMR_FAKE_SYSTEMCTL_RECORD=/root/doc/media.sleeps" \
			--key-file=/root/doc/media.keys
}
doc_scene_keyless_9999() { doc_daemon_9999 ''; }
# The dashboard's key, made as the README says (lomarind keygen /var/lib/hass/lomarind.keys
# 192.168.1.20), its line added to the unit's file; the client where the dashboard calls it.
doc_scene_dashboard() {
	inside install -m 600 /root/lmr-keys /etc/lomarind/keys &&
		inside sh -c 'rm -rf /var/lib/hass && mkdir -p /var/lib/hass &&
			lomarind keygen /var/lib/hass/lomarind.keys 192.168.1.20 2>/dev/null >>/etc/lomarind/keys &&
			ln -sf /usr/bin/lomarind /usr/local/bin/lomarind' && restart_daemon
}
# The recipes' controller: the static client (make static-client, into STATIC_BUILD, by
# default build-static, as the recipe's own line builds it) at /config/lomarind, no key file
# there yet, the unit's file as the package made it.
doc_static_build=${STATIC_BUILD:-build-static}
doc_scene_controller() {
	make static-client STATIC_BUILD="$doc_static_build" JOBS=2 >"$work/doc/static-client.log" 2>&1 &&
		install -D -m 755 "$doc_static_build/lomarind" "$root/config/lomarind" &&
		rm -f "$root/config/lomarind.keys" && doc_scene_fresh_keys
}
# The package purged, and its .deb where the README's line looks for it.
doc_scene_deb() {
	inside dpkg --purge lomarind >/dev/null && wait_for 10 unit_cgroup_gone &&
		inside mkdir -p /root/doc/build-deb && inside cp "/root/$(basename "$deb")" /root/doc/build-deb/
}
# On this machine: what cmake --install takes from the build, built with -j 2.
doc_scene_install_build() {
	doc_in_host 'cmake --build build -j 2 --target lomarind-package-files'
}

# doc_check_output TEXTS: whether the output in doc_output holds each of TEXTS (a list of
# shell words), or is exactly the doc's when TEXTS is "as shown"; sets doc_missing.
doc_check_output() {
	local want
	doc_missing=
	if [ "$1" = "as shown" ]; then
		want=$(doc_output_shown "${doc_doc[i]}" "${doc_text[i]}")
		[ "$doc_output" = "$want" ] || doc_missing="output not as shown: '$want'"
		return
	fi
	local texts=()
	eval "texts=($1)"
	for want in "${texts[@]}"; do
		[[ $doc_output == *"$want"* ]] || doc_missing="$doc_missing${doc_missing:+, }no '$want'"
	done
}

# The running command on this machine, started by doc_start_host: its process group.
doc_group=
# Whether the test's network namespace holds a UDP socket of a process named server.
doc_daemon_listening() { ip netns exec "$netns" ss -Hulpn | grep -q '(("server"'; }
doc_start_host() {
	doc_host_command "$1" bg
	# setsid makes it the leader of a process group of its own, which Ctrl-C would signal.
	setsid "${doc_host_argv[@]}" >"$work/doc/bg.out" 2>&1 </dev/null &
	doc_group=$!
}
doc_shows() { doc_output=$(cat "$work/doc/bg.out") && doc_check_output "$1" && [ -z "$doc_missing" ]; }
# Ends the running command as Ctrl-C does; sets doc_stopped to how it ended. Returns 1 when it
# did not end, or left a daemon listening.
doc_stop_host() {
	[ -n "$doc_group" ] || return 0
	local ended=0
	kill -s INT -- "-$doc_group" 2>/dev/null
	if wait_for 20 eval '! kill -0 "$doc_group" 2>/dev/null'; then
		wait "$doc_group"
		doc_stopped="Ctrl-C, then status $?"
	else
		kill -s KILL -- "-$doc_group" 2>/dev/null
		wait "$doc_group"
		doc_stopped="Ctrl-C did not end it in 20 s; killed"
		ended=1
	fi
	doc_group=
	if wait_for 5 eval '! doc_daemon_listening'; then
		doc_stopped="$doc_stopped, its daemon gone"
	else
		doc_stopped="$doc_stopped, but a daemon still listens: $(ip netns exec "$netns" ss -Hulpn | paste -sd ' ')"
		ended=1
	fi
	return "$ended"
}

# doc_run_entry I: runs entry I where its "run:" says, after its scene; sets doc_result to a
# line saying what it gave and returns 1 when that is not what the list expects.
doc_run_entry() {
	local i=$1
	local where=${doc_run[i]} script=${doc_text[i]} expect=${doc_expect[i]} scene=${doc_before[i]:-}
	local status texts pair
	doc_output='' doc_missing='' doc_after=
	if [ -n "$scene" ] && ! "doc_scene_${scene//-/_}" >"$work/doc/scene.log" 2>&1; then
		doc_result="scene '$scene' could not be set up: $(tail -n 3 "$work/doc/scene.log" | paste -sd ' ')"
		return 1
	fi
	[[ $script == '$ '* ]] && script=${script#\$ }
	while IFS= read -r pair; do
		[ -n "$pair" ] || continue
		local from=${pair%% =>*} to=${pair#* =>}
		to=${to# }
		[[ $script == *"$from"* ]] || {
			doc_result="'as: $pair': no '$from' in the line"
			return 1
		}
		script=${script/"$from"/"$to"}
	done <<<"${doc_as[i]:-}"
	# A "host shell" line runs after the ones before it, whose output is set aside.
	if [ "$where" = "host shell" ]; then
		local prelude=$doc_prelude
		doc_prelude+="{ $script"$'\n'"} >/dev/null 2>&1"$'\n'
		script=$prelude$script
		where=host
	else
		doc_prelude=
	fi
	status=${expect%% *} texts=${expect#"$status"}
	texts=${texts# }
	if [ "$status" = running ]; then
		if [ "$where" = container ]; then
			doc_output=$(doc_in_container "$script" 3)
			local rc=$?
			doc_check_output "$texts"
			doc_result="ran 3 s, then Ctrl-C (status $rc)"
			[ "$rc" = 124 ] && [ -z "$doc_missing" ]
		else
			doc_start_host "$script"
			if wait_for 900 eval 'kill -0 "$doc_group" 2>/dev/null && doc_shows "$texts" && doc_daemon_listening'; then
				doc_result="running, its daemon listening"
				if [ "${doc_stop[i]:-}" != "after the next line" ]; then
					doc_stop_host
					local stopped=$?
					doc_result="$doc_result; $doc_stopped"
					doc_output=$(cat "$work/doc/bg.out")
					[ "$stopped" = 0 ]
				fi
			else
				doc_output=$(cat "$work/doc/bg.out")
				doc_stop_host
				doc_shows "$texts"
				doc_result="not running with its daemon listening (${doc_missing:-no UDP port held by server}; $doc_stopped)"
				false
			fi
		fi
	else
		if [ "$where" = container ]; then
			doc_output=$(doc_in_container "$script")
		else
			doc_output=$(doc_in_host "$script" "${doc_then[i]:-}")
		fi
		local rc=$?
		doc_check_output "$texts"
		doc_result="status $rc"
		[ "$rc" = "$status" ] && [ -z "$doc_missing" ]
	fi || {
		doc_result="$doc_result; expected ${expect}${doc_missing:+ ($doc_missing)}"
		return 1
	}
	if [ -n "${doc_then[i]:-}" ]; then
		local after rc=1
		if [ "$where" = container ]; then
			after=$(doc_in_container "${doc_then[i]}")
			rc=$?
		else
			after=$(cat "$work/doc/then.out" 2>/dev/null)
			rc=$(cat "$work/doc/then.status" 2>/dev/null)
		fi
		doc_result="$doc_result; then: $(printf '%s' "$after" | grep -m 1 . || echo '(no output)') (${rc:-no status})"
		doc_after="--- then: ${doc_then[i]}"$'\n'"$after"
		[ "$rc" = 0 ] || return 1
	fi
}

# The names, addresses and shims the list's container lines assume (see its head).
doc_container_world() {
	# A minimal root has no /etc/hosts; it is put back as it was.
	inside mkdir -p /root/doc /home/ann &&
		inside sh -c 'if [ -e /etc/hosts ]; then cp -p /etc/hosts /root/doc/hosts.orig; fi' &&
		inside sh -c 'printf "192.168.1.10 nas\n192.168.1.30 media\n" >>/etc/hosts' &&
		inside ip addr add 192.168.1.1/24 dev lo &&
		inside sh -c 'printf "#!/bin/sh\n# Runs its arguments as they are: the test runs as root.\nexec \"\$@\"\n" >/usr/local/bin/sudo &&
			chmod 755 /usr/local/bin/sudo'
}
doc_container_undo() {
	{
		inside systemctl stop lmr-doc-9999.service
		inside systemctl reset-failed lmr-doc-9999.service
		inside rm -f /usr/local/bin/sudo /usr/local/bin/lomarind
		inside sh -c 'if [ -e /root/doc/hosts.orig ]; then cp -p /root/doc/hosts.orig /etc/hosts; else rm -f /etc/hosts; fi'
		inside ip addr del 192.168.1.1/24 dev lo
		inside rm -rf /root/doc /home/ann /var/lib/hass /config
		inside dpkg -s lomarind || inside dpkg -i "/root/$(basename "$deb")"
		inside install -m 600 /root/lmr-keys /etc/lomarind/keys
		restart_daemon
	} >/dev/null 2>&1
}
# On this machine: a copy of the tree (without build directories or .git), a home, the sudo
# shim, loopback up in the test's network namespace.
doc_host_world() {
	local build_rel
	doc_tree=$work/doc/tree
	build_rel=$(realpath --relative-base=. "$BUILD")
	mkdir -p "$doc_tree" "$work/doc/home" "$work/doc/shim" "$work/doc/overlay" &&
		tar -C . --exclude='./build*' --exclude=./.git --exclude="./$build_rel" -cf - . | tar -C "$doc_tree" -xf - &&
		printf '#!/bin/sh\n# Runs its arguments as they are: the test runs as root.\nexec "$@"\n' >"$work/doc/shim/sudo" &&
		chmod 755 "$work/doc/shim/sudo" && ip -n "$netns" link set lo up
}

# The line of the output that shows what the list expects (the first text it looks for),
# else the first; "(no output)" when there is none.
doc_telling_line() {
	local texts=() expect=${doc_expect[i]:-}
	expect=${expect#* }
	[ "$expect" = "as shown" ] || [ "$expect" = "${doc_expect[i]:-}" ] || eval "texts=($expect)"
	{ [ "${#texts[@]}" != 0 ] && printf '%s\n' "$doc_output" | grep -m 1 -F -- "${texts[0]}"; } ||
		printf '%s\n' "$doc_output" | grep -m 1 . || echo '(no output)'
}

# Check 24: every command line of the README, the recipes and the manual pages, as tests/system/
# doc-commands.list says: the list must match the docs, and each line it runs must give what
# it expects. Each line's result is printed above the verdict, and with its whole output in
# $BUILD/doc-commands.log.
check_doc_commands() {
	local log=$BUILD/doc-commands.log listed i ran=0 failed=0 not_run=0 here=0 there=0 failures=
	if ! listed=$(doc_commands_listed 2>&1); then
		fail "the list does not match the docs: $(printf '%s' "$listed" | head -n 3 | paste -sd ' ')"
		return
	fi
	doc_read_list
	mkdir -p "$work/doc" && : >"$log"
	if ! doc_container_world; then
		fail "cannot set up the container's names, addresses and sudo"
		doc_container_undo
		return
	elif ! doc_host_world; then
		fail "cannot copy the tree to $work/doc/tree or set up its namespace"
		doc_container_undo
		return
	fi
	local pass_where entry_where line
	doc_prelude=
	for pass_where in container host; do
		for ((i = 1; i <= doc_entries; i++)); do
			entry_where=${doc_run[i]:-}
			if [ -z "$entry_where" ]; then
				[ "$pass_where" = host ] || continue
				not_run=$((not_run + 1))
				printf '%s: %s\n  not run: %s\n\n' "${doc_doc[i]}" "${doc_text[i]//$'\n'/$'\n  '}" "${doc_not_run[i]}" >>"$log"
				continue
			fi
			[ "${entry_where%% *}" = "$pass_where" ] || continue
			local mark=ok
			if doc_run_entry "$i"; then
				ran=$((ran + 1))
			else
				mark=FAIL failed=$((failed + 1))
				failures="$failures${failures:+ | }${doc_text[i]%%$'\n'*}: $doc_result"
			fi
			# A command left running for the next line ends once that line has run.
			if [ -n "$doc_group" ] && [ "${doc_stop[i]:-}" != "after the next line" ]; then
				doc_stop_host || [ "$mark" = FAIL ] || {
					mark=FAIL failed=$((failed + 1)) ran=$((ran - 1))
					failures="$failures${failures:+ | }${doc_text[i - 1]%%$'\n'*}: $doc_stopped"
				}
				doc_result="$doc_result; the line before it: $doc_stopped"
			fi
			[ "$pass_where" = host ] && here=$((here + 1)) || there=$((there + 1))
			line=${doc_text[i]%%$'\n'*}
			[ "${#line}" -le 90 ] || line="${line:0:87}..."
			printf '   %-4s %s: %s -> %s | %s\n' "$mark" "${doc_doc[i]#man/}" "$line" "$doc_result" "$(doc_telling_line)"
			printf '%s: %s\n  run: %s; %s: %s\n%s\n\n' "${doc_doc[i]}" "${doc_text[i]//$'\n'/$'\n  '}" \
				"${doc_run[i]}" "$mark" "$doc_result" "$(printf '%s\n' "$doc_output" "$doc_after" | grep -v '^$' | head -n 40 | sed 's/^/  | /')" >>"$log"
		done
	done
	doc_stop_host
	doc_container_undo
	if [ "$failed" != 0 ]; then
		fail "$failed of $((ran + failed)) lines did not give what doc-commands.list expects: $failures (log: $log)"
	else
		pass "${listed#doc-commands: } | all $ran run as expected ($there in the container, $here on this machine in namespaces of the test's own); each line, its status and output: $log"
	fi
}
