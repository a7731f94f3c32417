# Runs veltsim and checks its output. -DVELTSIM=binary -DEMULATOR=runner (may be empty)
# -DCHECK=json_summary|no_children|controllers|usage_error|capture|stress|watchdog.
macro(fail message)
    message(FATAL_ERROR "${message}\nstdout:\n${out}\nstderr:\n${err}")
endmacro()

# The summary in `out` must hold to the JSON Schema beside this script (Debian's python3 first:
# that is where python3-jsonschema installs).
function(validate name)
    find_program(PYTHON3 python3 HINTS /usr/bin)
    set(file "${CMAKE_CURRENT_BINARY_DIR}/veltsim_${name}.json")
    file(WRITE ${file} "${out}")
    execute_process(COMMAND ${PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/validate_summary.py
                            ${CMAKE_CURRENT_LIST_DIR}/summary.schema.json ${file}
                    RESULT_VARIABLE rc ERROR_VARIABLE invalid)
    if(NOT (rc EQUAL 0))
        message(FATAL_ERROR "the ${name} summary does not hold to the schema: ${invalid}")
    endif()
endfunction()

# Runs veltsim with the arguments after `name` for a JSON summary, which must come with exit
# status 0 and hold to the schema; the summary is left in `out`.
macro(summary name)
    execute_process(COMMAND ${EMULATOR} ${VELTSIM} ${ARGN}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT (rc EQUAL 0))
        fail("veltsim ${ARGN} exited with ${rc}")
    endif()
    validate(${name})
endmacro()

# The hex of a GET_REPORT or SET_REPORT answer of a child (`at` its JSON path) into `data`.
function(feature_data at request id data)
    string(JSON count LENGTH "${out}" ${at} features)
    math(EXPR last "${count} - 1")
    foreach(i RANGE ${last})
        string(JSON which GET "${out}" ${at} features ${i} request)
        string(JSON number GET "${out}" ${at} features ${i} id)
        if(which STREQUAL request AND number EQUAL id)
            string(JSON status GET "${out}" ${at} features ${i} status)
            string(JSON hex GET "${out}" ${at} features ${i} data)
            if(NOT (status STREQUAL "STATUS_SUCCESS"))
                message(FATAL_ERROR "${request} of feature ${id} failed with ${status}")
            endif()
            set(${data} ${hex} PARENT_SCOPE)
            return()
        endif()
    endforeach()
    message(FATAL_ERROR "no ${request} of feature ${id} in the summary")
endfunction()

# The feature answers of controller `index`'s gamepad child (its first), byte for byte: its fixed
# reports and the controller's address in feature report 0x12.
function(check_gamepad_features index)
    set(at controllers ${index} children 0)
    string(JSON address GET "${out}" controllers ${index} address)
    feature_data("${at}" GET_REPORT 2 calibration)
    feature_data("${at}" GET_REPORT 18 answer)
    feature_data("${at}" GET_REPORT 163 build)
    feature_data("${at}" SET_REPORT 20 set)
    string(CONCAT expected02 "020a000100f0ffe7222dddb5224edd992247dd1c"
                             "021c027b1f8fe0742052e0a32082df0600")
    string(CONCAT expectedA3 "a34175672020332032303133000000000030373a30313a3132"
                             "000000000000000000010031030000004900050000800300")
    if(NOT (calibration STREQUAL expected02 AND answer STREQUAL "12${address}082500000000000000"
            AND build STREQUAL expectedA3 AND set STREQUAL "1402000000000000000000000000000000"))
        message(FATAL_ERROR "controller ${index}'s gamepad child does not answer with its fixed "
                            "reports")
    endif()
endfunction()

if(CHECK STREQUAL "json_summary")
    set(log "${CMAKE_CURRENT_BINARY_DIR}/veltsim_test.log")
    summary(demo --json --duration 1 --log ${log})
    string(JSON ok GET "${out}" ok)
    string(JSON controllers LENGTH "${out}" controllers)
    string(JSON completion GET "${out}" completion)
    if(NOT (ok AND controllers EQUAL 1 AND completion STREQUAL "async"))
        fail("the summary is not ok, or not of one controller completing asynchronously")
    endif()
    string(JSON count LENGTH "${out}" controllers 0 children)
    if(NOT (count EQUAL 2))
        fail("${count} children, not 2")
    endif()
    # The children as the HID stack read them: gamepad first, then vendor, each with reports
    # delivered, its output report at the controller and its report descriptor.
    foreach(i name length IN ZIP_LISTS "0;1" "gamepad;vendor" "507;102")
        string(JSON child GET "${out}" controllers 0 children ${i})
        string(JSON actual GET "${child}" name)
        string(JSON reports GET "${child}" reports)
        string(JSON seen GET "${child}" output_seen)
        string(JSON descriptor GET "${child}" descriptors report_descriptor_length)
        if(NOT (actual STREQUAL name AND reports GREATER 0 AND seen AND descriptor EQUAL length))
            fail("child ${i} is not the ${name} child with reports, its output and a "
                 "${length}-byte report descriptor")
        endif()
    endforeach()
    # The device tree: the controller's node with its two children, each named by its instance
    # path.
    string(JSON tree GET "${out}" controllers 0 device_tree)
    string(JSON driver GET "${tree}" driver)
    string(JSON state GET "${tree}" state)
    string(JSON children LENGTH "${tree}" children)
    if(NOT (driver STREQUAL "veltdriver" AND state STREQUAL "started" AND children EQUAL 2))
        fail("the controller's node is not started under veltdriver with two children")
    endif()
    foreach(i id IN ZIP_LISTS "0;1" "USB\\VID_054C&PID_09CC;USB\\VID_F3A1&PID_5C2D")
        string(JSON device GET "${tree}" children ${i} device_id)
        string(JSON instance GET "${tree}" children ${i} instance_id)
        string(JSON path GET "${tree}" children ${i} instance_path)
        string(JSON service GET "${tree}" children ${i} driver)
        # A child's instance ID is unique on its own bus only: the PnP manager puts its parent's
        # prefix before it ("<device ID>\\<prefix>&<instance ID>").
        string(FIND "${path}" "${device}\\" head)
        string(FIND "${path}" "&${instance}" tail REVERSE)
        string(LENGTH "${path}" length)
        string(LENGTH "&${instance}" tail_length)
        math(EXPR expected_tail "${length} - ${tail_length}")
        if(NOT (device STREQUAL id AND head EQUAL 0 AND tail EQUAL expected_tail
                AND service STREQUAL "hidusb"))
            fail("child node ${i} is ${device} (${path}, ${service}), not ${id} under the HID "
                 "stack")
        endif()
    endforeach()
    # The gamepad child's feature answers, byte for byte.
    check_gamepad_features(0)
    string(JSON counter GET "${out}" frame_counter_ok)
    if(NOT (counter))
        fail("the frame counter broke its sequence")
    endif()
    string(JSON leaks LENGTH "${out}" pool leaks)
    string(JSON violations LENGTH "${out}" verifier violations)
    if(NOT (leaks EQUAL 0 AND violations EQUAL 0))
        fail("pool leaked or the verifier found violations")
    endif()
    if(NOT (EXISTS ${log}))
        fail("no debug log at ${log}")
    endif()
    file(STRINGS ${log} entry LIMIT_COUNT 1)
    if(NOT (entry STREQUAL "VELTDRIVER : DriverEntry()"))
        fail("the log begins with '${entry}'")
    endif()
elseif(CHECK STREQUAL "no_children")
    # With two interrupt IN endpoints the driver asks for the address on the last one, and this
    # controller answers on the first: no children is the driver's intended behaviour.
    summary(no_children --json --duration 0.1 --controller two-interrupt-in-pipes)
    string(JSON ok GET "${out}" ok)
    string(JSON count LENGTH "${out}" controllers 0 children)
    string(JSON why GET "${out}" controllers 0 no_children)
    if(NOT (ok AND count EQUAL 0 AND why MATCHES "endpoint 0x82.*endpoint 0x81"))
        fail("the summary does not explain the missing children")
    endif()
elseif(CHECK STREQUAL "controllers")
    # Two controllers at once: each its own device (serial number, instance, capture address)
    # with its own address answer, which its gamepad child hands out in feature report 0x12;
    # here with the USB stack completing in the dispatch routine.
    summary(controllers --json --controllers 2 --duration 0.5 --completion sync)
    string(JSON ok GET "${out}" ok)
    string(JSON count LENGTH "${out}" controllers)
    string(JSON completion GET "${out}" completion)
    if(NOT (ok AND count EQUAL 2 AND completion STREQUAL "sync"))
        fail("the summary of two controllers completing synchronously is not ok")
    endif()
    foreach(i serial where gamepad IN ZIP_LISTS "0;1" "VD0001;VD0002" "1.1;1.2" "2.1;2.3")
        string(JSON index GET "${out}" controllers ${i} index)
        string(JSON actual GET "${out}" controllers ${i} serial_number)
        string(JSON capture GET "${out}" controllers ${i} capture_address)
        string(JSON instance GET "${out}" controllers ${i} device_tree instance_id)
        string(JSON children LENGTH "${out}" controllers ${i} children)
        string(JSON child GET "${out}" controllers ${i} children 0 capture_address)
        if(NOT (actual STREQUAL serial AND instance STREQUAL serial AND capture STREQUAL where
                AND child STREQUAL gamepad AND children EQUAL 2))
            fail("controller ${index} is ${actual} at ${capture}, not ${serial} at ${where}")
        endif()
        foreach(j RANGE 1)
            string(JSON reports GET "${out}" controllers ${i} children ${j} reports)
            string(JSON output GET "${out}" controllers ${i} children ${j} output_seen)
            if(NOT (reports GREATER 0 AND output))
                fail("controller ${index}'s child ${j} had no input or lost its output report")
            endif()
        endforeach()
        check_gamepad_features(${i})
    endforeach()
    string(JSON first GET "${out}" controllers 0 address)
    string(JSON second GET "${out}" controllers 1 address)
    if(first STREQUAL second)
        fail("the two controllers give the same address")
    endif()
    # Every node of both trees has an instance path of its own.
    set(paths "")
    foreach(i RANGE 1)
        string(JSON path GET "${out}" controllers ${i} device_tree instance_path)
        list(APPEND paths "${path}")
        foreach(j RANGE 1)
            string(JSON path GET "${out}" controllers ${i} device_tree children ${j} instance_path)
            list(APPEND paths "${path}")
        endforeach()
    endforeach()
    set(distinct ${paths})
    list(REMOVE_DUPLICATES distinct)
    list(LENGTH distinct count)
    if(NOT count EQUAL 6)
        fail("two controllers' device nodes share instance paths: ${paths}")
    endif()
    # Stress with both: every cycle plugs, streams and removes the two together.
    # Stress with both, in each completion mode: every cycle plugs, streams and removes the two
    # together.
    foreach(completion async sync)
        summary(stress_controllers_${completion} stress --controllers 2 --cycles 20 --seed 7
                --completion ${completion} --json)
        string(JSON ok GET "${out}" ok)
        string(JSON completed GET "${out}" completed)
        string(JSON mode GET "${out}" completion)
        string(JSON first GET "${out}" controllers 0 reports)
        string(JSON second GET "${out}" controllers 1 reports)
        if(NOT (ok AND completed EQUAL 20 AND mode STREQUAL completion AND first GREATER 0
                AND second GREATER 0))
            fail("stress of two controllers not clean with --completion ${completion}")
        endif()
    endforeach()
elseif(CHECK STREQUAL "usage_error")
    foreach(args "--bogus" "--duration;abc" "--os;95" "--rate" "--controller;nonesuch" "extra"
                 "stress;--cycles;0" "stress;--cycles;12x" "stress;--seed;-1" "stress;--duration;1"
                 "--cycles;3" "demo;stress" "--log=" "stress;--deadline;0"
                 "--controllers;0" "--controllers;17" "stress;--controllers;x"
                 "--completion;fast" "stress;--completion")
        execute_process(COMMAND ${EMULATOR} ${VELTSIM} ${args}
                        RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
        if(NOT (rc EQUAL 2))
            fail("'${args}' exited with ${rc}, not 2")
        endif()
        string(REGEX MATCHALL "\n" lines "${err}")
        list(LENGTH lines count)
        if(NOT (count EQUAL 1 AND err MATCHES "^veltsim: "))
            fail("'${args}' did not give one line")
        endif()
    endforeach()
    execute_process(COMMAND ${EMULATOR} ${VELTSIM} --help
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT (rc EQUAL 0 AND out MATCHES "Usage: veltsim" AND out MATCHES "stress"))
        fail("--help failed")
    endif()
    execute_process(COMMAND ${EMULATOR} ${VELTSIM} stress --help
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT (rc EQUAL 0 AND out MATCHES "--cycles" AND out MATCHES "--seed"))
        fail("stress --help failed")
    endif()
elseif(CHECK STREQUAL "capture")
    find_program(TSHARK tshark)
    if(NOT TSHARK)
        message("tshark is not installed: capture check skipped")
        return()
    endif()
    set(pcap "${CMAKE_CURRENT_BINARY_DIR}/veltsim_test.pcap")
    file(REMOVE ${pcap})
    execute_process(COMMAND ${EMULATOR} ${VELTSIM} --quiet --capture ${pcap} --duration 0.5
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT (rc EQUAL 0))
        fail("veltsim exited with ${rc}")
    endif()
    # The gamepad child is device 2.1: its device descriptor and its configuration (one HID
    # interface, interrupt IN 0x84 and OUT 0x03), decoded by tshark from the completions.
    execute_process(COMMAND ${TSHARK} -r ${pcap} -V -Y
                            "usb.bus_id == 2 && usb.device_address == 1 && usb.bDescriptorType"
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT (rc EQUAL 0))
        fail("tshark exited with ${rc}")
    endif()
    foreach(expected "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE"
                     "DEVICE DESCRIPTOR\n +bLength: 18"
                     "idVendor: [^\n]*\\(0x054c\\)"
                     "idProduct: [^\n]*\\(0x09cc\\)"
                     "CONFIGURATION DESCRIPTOR\n +bLength: 9"
                     "bNumInterfaces: 1\n"
                     "bInterfaceClass: HID \\(0x03\\)"
                     "bEndpointAddress: 0x84"
                     "bEndpointAddress: 0x03")
        if(NOT (out MATCHES "${expected}"))
            fail("tshark did not decode '${expected}' for the gamepad child")
        endif()
    endforeach()
    # The child answers its report descriptor and class requests with the URB's Function turned
    # into URB_FUNCTION_CONTROL_TRANSFER: their IN data must show all the same. The report
    # descriptor: 507 bytes whose items tshark decodes, the report IDs of one input, one output
    # and 48 feature reports among them.
    set(gamepad "usb.bus_id == 2 && usb.device_address == 1")
    execute_process(COMMAND ${TSHARK} -r ${pcap} -Y "${gamepad} && usbhid.item.global.report_id"
                            -T fields -e usb.data_len -e usbhid.item.global.report_id
                            -e usbhid.item.local.usage
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    string(REGEX REPLACE "^[0-9]+\t([^\t]*)\t.*" "\\1" reportIds "${out}")
    string(REGEX MATCHALL "0x[0-9a-f]+" reportIds "${reportIds}")
    list(LENGTH reportIds count)
    if(NOT (rc EQUAL 0 AND out MATCHES "^507\t0x01,0x05,0x04,0x02,0x08,[^\t]*,0xd0,0xd4\t0x05,"
            AND count EQUAL 50))
        fail("tshark did not decode the gamepad child's 507-byte report descriptor")
    endif()
    # GET_REPORT requests (feature reports 0x02, 0x12, 0xA3) and the length of the answer to
    # each, found by the request it answers.
    execute_process(COMMAND ${TSHARK} -r ${pcap} -Y "${gamepad} && usbhid.setup.bRequest == 1"
                            -T fields -e frame.number -e usbhid.setup.wValue
                    RESULT_VARIABLE rc OUTPUT_VARIABLE requests ERROR_VARIABLE err)
    execute_process(COMMAND ${TSHARK} -r ${pcap} -Y "${gamepad} && usb.request_in"
                            -T fields -e usb.request_in -e usb.data_len
                    RESULT_VARIABLE rc OUTPUT_VARIABLE answers ERROR_VARIABLE err)
    set(out "${requests}\n${answers}")
    foreach(feature "0x0302;37" "0x0312;16" "0x03a3;49")
        list(GET feature 0 value)
        list(GET feature 1 length)
        if(NOT (requests MATCHES "(^|\n)([0-9]+)\t${value}\n"))
            fail("no GET_REPORT with wValue ${value} in the capture")
        endif()
        set(frame ${CMAKE_MATCH_2})
        if(NOT (answers MATCHES "(^|\n)${frame}\t${length}\n"))
            fail("the GET_REPORT with wValue ${value} (frame ${frame}) has no ${length}-byte "
                 "answer")
        endif()
    endforeach()
    # SET_REPORT of features 0x13 and 0x14 carries the report out: its setup packet and 23 and
    # 17 bytes of data, the 8 bytes of the setup packet with them.
    execute_process(COMMAND ${TSHARK} -r ${pcap} -Y "${gamepad} && usbhid.setup.bRequest == 9"
                            -T fields -e usbhid.setup.wValue -e usbhid.setup.wLength
                            -e usb.data_len
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT (out MATCHES "0x0313\t23\t31\n" AND out MATCHES "0x0314\t17\t25\n"))
        fail("the SET_REPORT requests of features 0x13 and 0x14 and their data are not in the "
             "capture")
    endif()
elseif(CHECK STREQUAL "stress")
    summary(stress stress --cycles 200 --seed 20261210 --json)
    string(JSON ok GET "${out}" ok)
    string(JSON completed GET "${out}" completed)
    string(JSON surprises GET "${out}" surprise_removals total)
    string(JSON seed GET "${out}" seed)
    string(JSON completion GET "${out}" completion)
    if(NOT (ok AND completed EQUAL 200 AND surprises GREATER 0 AND seed EQUAL 20261210
            AND completion STREQUAL "async"))
        fail("stress summary not clean")
    endif()
    foreach(moment mid-enumeration mid-stream mid-sleep)
        string(JSON count GET "${out}" surprise_removals ${moment})
        if(NOT (count GREATER 0))
            fail("no surprise removal ${moment}")
        endif()
    endforeach()
    # The last cycle that enumerated the controller: its two children as the demo reads them,
    # and the address query among the OUT transfers.
    foreach(i name length IN ZIP_LISTS "0;1" "gamepad;vendor" "507;102")
        string(JSON actual GET "${out}" controllers 0 children ${i} name)
        string(JSON descriptor GET "${out}" controllers 0 children ${i} descriptors
               report_descriptor_length)
        if(NOT (actual STREQUAL name AND descriptor EQUAL length))
            fail("stress child ${i} is not the ${name} child with a ${length}-byte report "
                 "descriptor")
        endif()
    endforeach()
    check_gamepad_features(0)
    string(JSON outputs LENGTH "${out}" controllers 0 output_reports)
    if(NOT (outputs GREATER 0))
        fail("stress reports no OUT transfer at the controller")
    endif()
elseif(CHECK STREQUAL "watchdog")
    # A deadline no cycle can meet: the watchdog must end the run and say what was in flight.
    execute_process(COMMAND ${EMULATOR} ${VELTSIM} stress --cycles 3 --seed 1 --deadline 0.001
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT (rc EQUAL 1 AND err MATCHES "veltsim: watchdog: cycle [0-9]+ hung in [a-z ]+ for more"
            AND err MATCHES "veltsim: IRPs in flight: [0-9]+\n"
            AND err MATCHES "veltsim: system threads alive: [0-9]+\n"))
        fail("the watchdog did not end the run as a hang (exit ${rc})")
    endif()
else()
    message(FATAL_ERROR "unknown CHECK '${CHECK}'")
endif()
