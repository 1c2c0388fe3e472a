-- Wireshark dissector for the termbridge dispatcher protocol.
--
-- Native command packets: 524-byte UDP datagrams from the library to the
-- dispatcher's command port. Event packets: 520-byte records, back to back,
-- in the TCP stream that the dispatcher opens to the library's port.
--
-- The protocol is found by the packets' fixed shapes (a heuristic), so a
-- capture decodes without settings; the two ports can still be given
-- (Edit > Preferences > Protocols > TERMBRIDGE, or tshark -o termbridge.<name>:<value>).
-- A port that Wireshark gives to another protocol wins over the shapes
-- unless UDP's and TCP's "try heuristic sub-dissectors first" is on
-- (tshark -o udp.try_heuristic_first:TRUE -o tcp.try_heuristic_first:TRUE).
-- Every event is paired with the command it answers (with the response
-- time), capture fragments are reassembled into one payload, and mailbox
-- commands, event codes and statuses are named from a definition set when a
-- name table lies beside this file (termbridge_names.lua, made with
-- "tb-defcheck LIST --names termbridge_names.lua") or where the preference
-- "names_file" says.
--
-- Install: copy this file (and the name table) into Wireshark's personal
-- plugins folder (~/.local/lib/wireshark/plugins on Linux,
-- %APPDATA%\Wireshark\plugins on Windows), or load it for one run:
-- tshark -X lua_script:termbridge.lua -r capture.pcap -Y termbridge -O termbridge

local proto = Proto("termbridge", "TERMBRIDGE dispatcher protocol")

local COMMAND_SIZE = 524
local EVENT_SIZE = 520
local DATA_SIZE = 512
local HEADER_CTRL = 11
local HEADER_SIZE = 16
local INFO_BLOCK = 8
local SYSTEM_TYPE = 0xFFFF

-- ------------------------------------------------------------------ names

local function script_folder()
    local source = debug.getinfo(1, "S").source
    if source:sub(1, 1) ~= "@" then return nil end
    return source:sub(2):match("^(.*)[/\\]") or "."
end

-- The name table: a Lua file returning { phy_commands, mac_commands, events,
-- statuses, tunnel, phy_console, mailbox }. Returns the table, or nil and
-- why it did not load.
local function load_names(path)
    local file, open_error = io.open(path, "r")
    if not file then
        -- "path: No such file or directory": the caller names the path.
        if open_error:sub(1, #path + 2) == path .. ": " then open_error = open_error:sub(#path + 3) end
        return nil, open_error
    end
    file:close()
    local ok, table_or_error = pcall(dofile, path)
    if not ok then return nil, tostring(table_or_error) end
    if type(table_or_error) ~= "table" then return nil, "it returns no table" end
    return table_or_error
end

local folder = script_folder()
local beside_table = folder and (folder .. "/termbridge_names.lua")

-- The one table every name and the mailbox addresses come from: the one the
-- preference "names_file" names, else the one beside this file (none there:
-- no names). A table that does not load leaves no names at all (never those
-- of the table before) and `names_problem` says why on every packet.
local names = {}
local names_problem = nil

-- Takes the table at `path`; `required`: its absence is an error too.
-- Returns the problem, if any.
local function use_names(path, required)
    names, names_problem = {}, nil
    if not path then return nil end
    if not required then
        local file = io.open(path, "r")
        if not file then return nil end
        file:close()
    end
    local loaded, reason = load_names(path)
    if loaded then
        names = loaded
    else
        names_problem = "termbridge: the name table " .. path .. " did not load: " .. reason
    end
    return names_problem
end

-- A broken table beside the dissector is said here and on every packet; an
-- error now would leave the protocol unregistered.
if use_names(beside_table, false) then print(names_problem) end

local function named(table_name, code)
    local entries = names[table_name]
    return entries and entries[code] or nil
end

-- ------------------------------------------------------------------ preferences

proto.prefs.command_port = Pref.uint("Command port (UDP)", 50000, "The dispatcher's command port (Console_To_Dispatcher); other ports are found by the packets' shape")
proto.prefs.event_port = Pref.uint("Event port (TCP)", 50001, "The library's port for events (Dispatcher_To_Console); other ports are found by the packets' shape")
proto.prefs.names_file = Pref.string("Name table", "", "A name table made with tb-defcheck --names (default: termbridge_names.lua beside the dissector)")
-- Addresses are text (decimal or 0x hexadecimal): number preferences stop at
-- 2^31. Empty: the name table's address, else the chip's usual one; read at
-- each use, so that they follow the table in use.
local MAILBOX_DEFAULTS = { buffer = 0xBFE30000, counter_read = 0xBF108300, counter_write = 0xBF108240 }
proto.prefs.mailbox_buffer = Pref.string("Mailbox buffer address", "", "Start of the chip's command mailbox buffer (empty: the name table's, else 0xBFE30000)")
proto.prefs.mailbox_size = Pref.uint("Mailbox buffer size", 0x400, "Bytes of the mailbox buffer")
proto.prefs.counter_read = Pref.string("Mailbox counter read address", "", "Word read to learn whether the mailbox is free (empty: the name table's, else 0xBF108300)")
proto.prefs.counter_write = Pref.string("Mailbox counter write address", "", "Word written to hand a command to the chip (empty: the name table's, else 0xBF108240)")

-- ------------------------------------------------------------------ fields

local native_types = {
    [0] = "NATIVE_READ_WORD_CMD", [1] = "NATIVE_WRITE_WORD_CMD", [2] = "NATIVE_READ_BUFFER_CMD",
    [3] = "NATIVE_WRITE_BUFFER_CMD", [4] = "NATIVE_READ_EEPROM_CMD", [5] = "NATIVE_WRITE_EEPROM_CMD",
    [6] = "NATIVE_COMMAND_PIPE_CMD", [0xFFFF] = "SYSTEM",
}
local system_codes = {
    [0] = "setup (second)", [1] = "setup (first)", [2] = "log severity", [3] = "sync", [4] = "close",
}
local WRITE_TYPES = { [1] = true, [3] = true, [5] = true }

local f = {
    cmd_version = ProtoField.uint8("termbridge.cmd.version", "Version", base.DEC),
    cmd_number = ProtoField.uint8("termbridge.cmd.number", "Command packet number", base.DEC),
    cmd_type = ProtoField.uint16("termbridge.cmd.type", "Type", base.HEX, native_types),
    cmd_address = ProtoField.uint32("termbridge.cmd.address", "Address", base.HEX),
    cmd_length = ProtoField.uint16("termbridge.cmd.length", "Length", base.DEC),
    cmd_param = ProtoField.uint16("termbridge.cmd.param", "Additional parameter", base.DEC),
    cmd_system = ProtoField.uint16("termbridge.cmd.system", "System command", base.DEC, system_codes),
    cmd_value = ProtoField.uint32("termbridge.cmd.value", "Value", base.HEX),
    cmd_data = ProtoField.bytes("termbridge.cmd.data", "Data"),
    response_in = ProtoField.framenum("termbridge.response_in", "Answered in", base.NONE, frametype.RESPONSE),
    mailbox = ProtoField.string("termbridge.mailbox", "Mailbox"),
    mailbox_offset = ProtoField.uint32("termbridge.mailbox.offset", "Mailbox buffer offset", base.DEC),
    mailbox_command = ProtoField.string("termbridge.mailbox.command", "Console command"),
    evt_version = ProtoField.uint8("termbridge.evt.version", "Version", base.DEC),
    evt_type = ProtoField.uint8("termbridge.evt.type", "Type", base.DEC),
    evt_number = ProtoField.uint16("termbridge.evt.number", "Event packet number", base.DEC),
    evt_rxnumber = ProtoField.uint8("termbridge.evt.rxnumber", "Answers command packet", base.DEC),
    evt_source = ProtoField.uint8("termbridge.evt.source", "Source", base.DEC),
    evt_length = ProtoField.uint16("termbridge.evt.length", "Length", base.DEC),
    evt_data = ProtoField.bytes("termbridge.evt.data", "Data"),
    evt_text = ProtoField.string("termbridge.evt.text", "Answer text"),
    request_in = ProtoField.framenum("termbridge.request_in", "Answers the command in", base.NONE, frametype.REQUEST),
    response_time = ProtoField.relative_time("termbridge.response_time", "Response time"),
    answers = ProtoField.string("termbridge.answers", "Answers"),
    hdr_ctrl = ProtoField.uint16("termbridge.hdr.ctrl", "Event ctrl", base.DEC),
    hdr_source = ProtoField.uint8("termbridge.hdr.source", "Event source", base.DEC),
    -- No value strings: those would keep the names of the table loaded first.
    hdr_code = ProtoField.uint8("termbridge.hdr.code", "Event code", base.HEX),
    hdr_event = ProtoField.string("termbridge.hdr.event", "Event"),
    hdr_flags = ProtoField.uint8("termbridge.hdr.flags", "Flags", base.HEX),
    hdr_more = ProtoField.bool("termbridge.hdr.more_fragments", "More fragments follow", 8, nil, 0x80),
    hdr_fragment = ProtoField.uint8("termbridge.hdr.fragment", "Fragment number", base.DEC),
    hdr_length = ProtoField.uint8("termbridge.hdr.length", "Event length", base.DEC),
    hdr_subevent = ProtoField.uint8("termbridge.hdr.subevent", "More events for the command", base.DEC),
    hdr_status = ProtoField.uint8("termbridge.hdr.status", "Status", base.DEC),
    hdr_status_name = ProtoField.string("termbridge.hdr.status_name", "Status name"),
    hdr_payload = ProtoField.bytes("termbridge.hdr.payload", "Payload"),
    capture_length = ProtoField.uint16("termbridge.capture.length", "Captured bytes", base.DEC),
    capture_address = ProtoField.uint32("termbridge.capture.address", "Capture address", base.HEX),
    capture_fragments = ProtoField.uint8("termbridge.capture.fragments", "Fragments", base.DEC),
    capture_data = ProtoField.bytes("termbridge.capture.data", "Reassembled capture data"),
}
local field_list = {}
for _, field in pairs(f) do field_list[#field_list + 1] = field end
proto.fields = field_list

local malformed = ProtoExpert.new("termbridge.malformed", "Malformed termbridge packet", expert.group.MALFORMED,
                                  expert.severity.ERROR)
local unanswered = ProtoExpert.new("termbridge.unpaired", "Event for no command seen before it", expert.group.SEQUENCE,
                                   expert.severity.WARN)
local no_names = ProtoExpert.new("termbridge.names", "Name table not loaded", expert.group.UNDECODED,
                                 expert.severity.ERROR)
proto.experts = { malformed, unanswered, no_names }

-- Every termbridge tree says when the name table asked for did not load.
local function note_names_problem(tree)
    if names_problem then tree:add_proto_expert_info(no_names, names_problem) end
end

-- ------------------------------------------------------------------ state
-- Worked out on the first pass over the capture and kept per frame, so that
-- later passes (and the GUI's redissections) show the same.

local state
local function reset_state()
    state = {
        last_command = {},      -- packet number -> { frame, time, text }
        mailbox_name = nil,     -- the console command whose bytes went into the mailbox last
        command_names = {},     -- frame -> console command name (counter writes)
        answered_in = {},       -- frame of a command -> frame of its first answer
        pairs = {},             -- event key -> { frame, time, text }
        fragments = {},         -- packet number -> the capture being reassembled
        captures = {},          -- event key -> finished capture
        commands_seen = false,
    }
end
reset_state()
function proto.init() reset_state() end

local function mailbox_address(text, key)
    if text ~= "" then return tonumber(text) or -1 end
    return names.mailbox and names.mailbox[key] or MAILBOX_DEFAULTS[key]
end

local function mailbox_addresses()
    local prefs = proto.prefs
    return mailbox_address(prefs.mailbox_buffer, "buffer"), mailbox_address(prefs.counter_read, "counter_read"),
           mailbox_address(prefs.counter_write, "counter_write")
end

-- Which part of the mailbox a command touches, if any.
local function mailbox_role(type, address, length)
    local buffer, counter_read, counter_write = mailbox_addresses()
    if type == 0 and address == counter_read then return "counter read (is the mailbox free?)" end
    if type == 1 and address == counter_write then return "counter write (command handed to the chip)" end
    local last = address + math.max(length, 1) - 1
    if (type == 2 or type == 3) and address >= buffer and last < buffer + proto.prefs.mailbox_size then
        return type == 3 and "command bytes" or "buffer read"
    end
    return nil
end

-- The console command whose first bytes these are: a PHY command in the
-- tunnel (full or header-less form) or a MAC command.
local function console_command_name(data)
    if data:len() < 4 then return nil end
    local tunnel = names.tunnel or 0x0F00
    if data(0, 2):uint() == tunnel and data(2, 2):uint() == 0 then
        if data:len() < 8 then return nil end
        local kind, length = data(4, 2):uint(), data(6, 2):uint()
        local opcode = bit.band(kind, 0xFF)
        if kind == (names.phy_console or 0x0004) and length >= 8 and data:len() >= 13 and data(12, 1):uint() == length then
            opcode = data(8, 1):uint()
        end
        return named("phy_commands", opcode) or string.format("PHY command 0x%02x", opcode)
    end
    local opcode = data(0, 2):uint()
    return named("mac_commands", opcode) or string.format("MAC command 0x%04x", opcode)
end

-- ------------------------------------------------------------------ commands

local function remember_command(pinfo, number, text)
    if pinfo.visited then return end
    state.commands_seen = true
    state.last_command[number] = { frame = pinfo.number, time = pinfo.abs_ts, text = text }
end

local function dissect_command(tvb, pinfo, root)
    local tree = root:add(proto, tvb(0, math.min(tvb:len(), COMMAND_SIZE)), "TERMBRIDGE native command")
    note_names_problem(tree)
    if tvb:len() ~= COMMAND_SIZE then
        tree:add_proto_expert_info(malformed, "a command packet has " .. COMMAND_SIZE .. " bytes, this one " .. tvb:len())
        return
    end
    local number = tvb(1, 1):uint()
    local type = tvb(2, 2):le_uint()
    local address = tvb(4, 4):le_uint()
    local length = tvb(8, 2):le_uint()
    local param = tvb(10, 2):le_uint()
    tree:add_le(f.cmd_version, tvb(0, 1))
    tree:add_le(f.cmd_number, tvb(1, 1))
    tree:add_le(f.cmd_type, tvb(2, 2))
    tree:add_le(f.cmd_address, tvb(4, 4))
    tree:add_le(f.cmd_length, tvb(8, 2))
    if type == SYSTEM_TYPE then
        tree:add_le(f.cmd_system, tvb(10, 2))
    else
        tree:add_le(f.cmd_param, tvb(10, 2))
    end
    local info = string.format("#%d %s", number, native_types[type] or string.format("type 0x%x", type))
    if type == SYSTEM_TYPE then
        info = info .. string.format(" %s value %d", system_codes[param] or tostring(param), address)
    else
        info = info .. string.format(" 0x%08x", address)
    end
    if type == 1 and length >= 4 then
        tree:add_le(f.cmd_value, tvb(12, 4))
        info = info .. string.format(" = 0x%x", tvb(12, 4):le_uint())
    elseif type ~= 0 and type ~= SYSTEM_TYPE then
        info = info .. " len " .. length
    end
    if WRITE_TYPES[type] and length > 0 then
        tree:add(f.cmd_data, tvb(12, math.min(length, DATA_SIZE)))
    end
    local role = mailbox_role(type, address, length)
    local command_name
    if role then
        tree:add(f.mailbox, role)
        local is_counter_write = role:find("^counter write") ~= nil
        if role == "command bytes" or role == "buffer read" then
            local offset = address - (mailbox_addresses())
            tree:add(f.mailbox_offset, offset)
            if role == "command bytes" and offset == 0 then
                command_name = console_command_name(tvb(12, math.min(length, DATA_SIZE)))
                if not pinfo.visited then state.mailbox_name = command_name end
            end
        elseif is_counter_write then
            if not pinfo.visited then state.command_names[pinfo.number] = state.mailbox_name end
            command_name = state.command_names[pinfo.number]
        end
        if command_name then tree:add(f.mailbox_command, command_name) end
        info = info .. " [mailbox " .. role .. (command_name and (": " .. command_name) or "") .. "]"
        if not is_counter_write then command_name = nil end  -- what the answers are named after
    end
    if type ~= SYSTEM_TYPE then
        remember_command(pinfo, number, command_name or native_types[type] or string.format("type 0x%x", type))
        local answer = state.answered_in[pinfo.number]
        if answer then tree:add(f.response_in, answer) end
    end
    pinfo.cols.info:set(info)
end

-- ------------------------------------------------------------------ events

-- The data as text up to its first NUL, when that is all printable (the
-- answers "OK", "ERR" and a word read's "0x........").
local function printable(range)
    local text = range:stringz()
    if #text > 0 and not text:find("[^%g ]") then return text end
    return nil
end

-- A capture fragment's bytes join the capture of its command; the last one
-- completes it. Returns the finished capture, if this fragment ends one.
local function add_fragment(key, rxnumber, data)
    if state.captures[key] ~= nil then return state.captures[key] end
    local fragment = data(11, 1):uint()
    local more = bit.band(data(9, 1):uint(), 0x80) ~= 0
    local event_length = data(12, 1):uint()
    local capture = state.fragments[rxnumber]
    local from, count = HEADER_SIZE, event_length - 8
    if fragment == 0 then
        capture = { bytes = ByteArray.new(), count = 0 }
        if data:len() >= HEADER_SIZE + INFO_BLOCK then
            capture.total = data(HEADER_SIZE, 2):uint()
            capture.address = data(HEADER_SIZE + 4, 4):uint()
        end
        from, count = HEADER_SIZE + INFO_BLOCK, event_length - 16
        state.fragments[rxnumber] = capture
    end
    if capture == nil then
        state.captures[key] = false
        return false
    end
    count = math.max(0, math.min(count, data:len() - from))
    if count > 0 then capture.bytes:append(data(from, count):bytes()) end
    capture.count = capture.count + 1
    if more then
        state.captures[key] = false
        return false
    end
    state.fragments[rxnumber] = nil
    state.captures[key] = capture
    return capture
end

local function show_capture(capture, tvb, tree)
    local buffer = capture.bytes:tvb("Reassembled capture")
    local item = tree:add(proto, buffer(), string.format("Reassembled capture: %d bytes in %d fragments",
                                                          capture.bytes:len(), capture.count))
    if capture.total then item:add(f.capture_length, capture.total) end
    if capture.address then item:add(f.capture_address, capture.address) end
    item:add(f.capture_fragments, capture.count)
    if capture.bytes:len() > 0 then item:add(f.capture_data, buffer()) end
end

local function dissect_event_header(data, tree, key, rxnumber)
    local header = tree:add(proto, data(0, HEADER_SIZE), "Event data header")
    local code = data(8, 1):uint()
    local status = data(14, 1):uint()
    header:add(f.hdr_ctrl, data(0, 2))
    header:add(f.hdr_source, data(4, 1))
    local event_name = named("events", code)
    local code_item = header:add(f.hdr_code, data(8, 1))
    if event_name then code_item:set_text(string.format("Event code: %s (0x%02x)", event_name, code)) end
    if event_name then header:add(f.hdr_event, data(8, 1), event_name) end
    local flags = header:add(f.hdr_flags, data(9, 1))
    flags:add(f.hdr_more, data(9, 1))
    header:add(f.hdr_fragment, data(11, 1))
    header:add(f.hdr_length, data(12, 1))
    header:add(f.hdr_subevent, data(13, 1))
    local status_name = named("statuses", status)
    local status_item = header:add(f.hdr_status, data(14, 1))
    if status_name then status_item:set_text(string.format("Status: %s (%d)", status_name, status)) end
    if status_name then header:add(f.hdr_status_name, data(14, 1), status_name) end
    if data:len() > HEADER_SIZE then header:add(f.hdr_payload, data(HEADER_SIZE)) end
    local text = " " .. (event_name or string.format("event 0x%02x", code))
    if data(4, 1):uint() == 1 then
        text = text .. string.format(" fragment %d%s", data(11, 1):uint(),
                                     bit.band(data(9, 1):uint(), 0x80) ~= 0 and "+" or "")
        local capture = add_fragment(key, rxnumber, data)
        if capture then
            show_capture(capture, data, tree)
            text = text .. string.format(" (capture of %d bytes reassembled)", capture.bytes:len())
        end
    else
        text = text .. " " .. (status_name or string.format("status %d", status))
    end
    return text
end

-- The command this event answers: the last one sent with its number.
local function pair(pinfo, key, rxnumber)
    if not pinfo.visited and state.pairs[key] == nil then
        local command = state.last_command[rxnumber]
        state.pairs[key] = command or false
        if command and not state.answered_in[command.frame] then state.answered_in[command.frame] = pinfo.number end
    end
    return state.pairs[key]
end

-- One 520-byte event packet.
local function dissect_event(tvb, pinfo, root)
    local tree = root:add(proto, tvb, "TERMBRIDGE event")
    note_names_problem(tree)
    local rxnumber = tvb(4, 1):uint()
    local key = string.format("%d:%d:%d", pinfo.number, tvb(2, 2):le_uint(), rxnumber)
    tree:add_le(f.evt_version, tvb(0, 1))
    tree:add_le(f.evt_type, tvb(1, 1))
    tree:add_le(f.evt_number, tvb(2, 2))
    tree:add_le(f.evt_rxnumber, tvb(4, 1))
    tree:add_le(f.evt_source, tvb(5, 1))
    local length_item = tree:add_le(f.evt_length, tvb(6, 2))
    local length = tvb(6, 2):le_uint()
    local command = pair(pinfo, key, rxnumber)
    local info = string.format("event %d for #%d", tvb(2, 2):le_uint(), rxnumber)
    if command then
        tree:add(f.request_in, command.frame)
        tree:add(f.answers, command.text)
        local delta = pinfo.abs_ts - command.time
        local seconds = math.floor(delta)
        tree:add(f.response_time, NSTime.new(seconds, math.floor((delta - seconds) * 1e9 + 0.5)))
        info = info .. string.format(" (%s, %.3f ms)", command.text, delta * 1000)
    else
        tree:add_proto_expert_info(unanswered)
    end
    if length > DATA_SIZE then
        length_item:add_proto_expert_info(malformed, "Length above " .. DATA_SIZE)
        length = DATA_SIZE
    end
    if length > 0 then
        local data = tvb(8, length)
        tree:add(f.evt_data, data)
        if length >= HEADER_SIZE and data(0, 2):uint() == HEADER_CTRL then
            info = info .. dissect_event_header(data, tree, key, rxnumber)
        else
            local text = printable(data)
            if text then
                tree:add(f.evt_text, data, text)
                info = info .. " \"" .. text .. "\""
            end
        end
    end
    return info
end

-- The event stream: as many whole events as this piece holds; the rest
-- waits for the next segment.
local function dissect_stream(tvb, pinfo, root)
    local offset = 0
    local infos = {}
    while offset < tvb:len() do
        local left = tvb:len() - offset
        if left < EVENT_SIZE then
            pinfo.desegment_offset = offset
            pinfo.desegment_len = EVENT_SIZE - left
            break
        end
        infos[#infos + 1] = dissect_event(tvb(offset, EVENT_SIZE):tvb(), pinfo, root)
        offset = offset + EVENT_SIZE
    end
    if #infos > 0 then pinfo.cols.info:set(table.concat(infos, "; ")) end
    return tvb:len()
end

function proto.dissector(tvb, pinfo, root)
    pinfo.cols.protocol:set("TERMBRIDGE")
    if pinfo.port_type == 3 then  -- UDP
        dissect_command(tvb, pinfo, root)
        return tvb:len()
    end
    return dissect_stream(tvb, pinfo, root)
end

-- ------------------------------------------------------------------ finding the protocol

local KNOWN_TYPES = { [0] = true, [1] = true, [2] = true, [3] = true, [4] = true, [5] = true, [6] = true,
                      [SYSTEM_TYPE] = true }

local function looks_like_command(tvb)
    return tvb:len() == COMMAND_SIZE and tvb(0, 1):uint() == 1 and KNOWN_TYPES[tvb(2, 2):le_uint()] ~= nil
           and tvb(8, 2):le_uint() <= DATA_SIZE
end

-- The start of an event packet: Version 1, a Length that fits, and (once
-- commands were seen) the number of one of them.
local function looks_like_events(tvb)
    if tvb:len() < 8 or tvb(0, 1):uint() ~= 1 or tvb(6, 2):le_uint() > DATA_SIZE then return false end
    return not state.commands_seen or state.last_command[tvb(4, 1):uint()] ~= nil
end

local function heuristic(test)
    return function(tvb, pinfo, root)
        if not test(tvb) then return false end
        -- The rest of this conversation is ours, whatever its pieces look like.
        pinfo.conversation = proto
        proto.dissector(tvb, pinfo, root)
        return true
    end
end
proto:register_heuristic("udp", heuristic(looks_like_command))
proto:register_heuristic("tcp", heuristic(looks_like_events))

local registered = {}
local function register_ports()
    local udp = DissectorTable.get("udp.port")
    local tcp = DissectorTable.get("tcp.port")
    if registered.udp then udp:remove(registered.udp, proto) end
    if registered.tcp then tcp:remove(registered.tcp, proto) end
    registered.udp = proto.prefs.command_port
    registered.tcp = proto.prefs.event_port
    if registered.udp > 0 then udp:add(registered.udp, proto) end
    if registered.tcp > 0 then tcp:add(registered.tcp, proto) end
end

-- The table is taken again whole on every change, back to the one beside
-- this file when the preference is emptied. One that does not load is an
-- error (tshark prints it, Wireshark shows it) and the packets say so too.
function proto.prefs_changed()
    register_ports()
    local table_path = proto.prefs.names_file
    local problem
    if table_path ~= "" then
        problem = use_names(table_path, true)
    else
        problem = use_names(beside_table, false)
    end
    if problem then error(problem, 0) end
end

register_ports()
