<?php
// Vesk's dump client, prepended to every request of Vesk's PHP pools:
// vesk_dump($value, ...) sends each value to `vesk dumps` (one JSON line per
// value on /tmp/vesk/vesk-debug.sock) and returns the first one. When nobody
// listens it does nothing: a request never fails because of it.
//
// /tmp is everyone's: the dumps (request data, sessions) go only to a socket
// of this account's own, in a directory of its own that nobody else may
// enter. A listener that does not read costs a request the time limit once:
// after one failure the request sends nothing more.
if (!function_exists('vesk_dump')) {
    // A connection to the listener, or false (and, told to, or after a
    // failure, false for the rest of the request).
    function vesk_dump_socket($stop = false)
    {
        static $off = false;
        if ($off || $stop) {
            $off = true;
            return false;
        }
        $off = true;
        if (!function_exists('posix_geteuid')) {
            return false;
        }
        $uid = posix_geteuid();
        $dir = @lstat('/tmp/vesk');
        if ($dir === false || ($dir['mode'] & 0170000) !== 0040000 || $dir['uid'] !== $uid
            || ($dir['mode'] & 0077) !== 0) {
            return false;
        }
        $socket = @lstat('/tmp/vesk/vesk-debug.sock');
        if ($socket === false || ($socket['mode'] & 0170000) !== 0140000 || $socket['uid'] !== $uid) {
            return false;
        }
        $errno = 0;
        $error = '';
        $stream = @stream_socket_client('unix:///tmp/vesk/vesk-debug.sock', $errno, $error, 0.05);
        if ($stream === false) {
            return false;
        }
        stream_set_timeout($stream, 0, 200000);
        $off = false;
        return $stream;
    }

    function vesk_dump(...$values)
    {
        $trace = debug_backtrace(DEBUG_BACKTRACE_IGNORE_ARGS, 16);
        $caller = $trace[0] ?? [];
        $frames = [];
        foreach ($trace as $frame) {
            $frames[] = [
                'file' => (string) ($frame['file'] ?? ''),
                'line' => (int) ($frame['line'] ?? 0),
                'function' => isset($frame['function']) ? (string) $frame['function'] : null,
            ];
        }
        foreach ($values as $value) {
            $content = print_r($value, true);
            if (strlen($content) > 512 * 1024) {
                $content = substr($content, 0, 512 * 1024) . "\n(cut at 512 KiB)";
            }
            $json = json_encode([
                'type' => 'dump',
                'file' => (string) ($caller['file'] ?? ''),
                'line' => (int) ($caller['line'] ?? 0),
                'content' => $content,
                'varType' => get_debug_type($value),
                'trace' => $frames,
                'siteDomain' => isset($_SERVER['HTTP_HOST']) ? (string) $_SERVER['HTTP_HOST'] : null,
            ], JSON_UNESCAPED_SLASHES | JSON_INVALID_UTF8_SUBSTITUTE | JSON_PARTIAL_OUTPUT_ON_ERROR);
            if ($json === false) {
                continue;
            }
            $socket = vesk_dump_socket();
            if ($socket === false) {
                break;
            }
            $line = $json . "\n";
            $sent = @fwrite($socket, $line);
            $timedOut = stream_get_meta_data($socket)['timed_out'] ?? false;
            @fclose($socket);
            if ($sent !== strlen($line) || $timedOut) {
                // Nobody reads: the rest of this request sends nothing.
                vesk_dump_socket(true);
                break;
            }
        }
        return $values[0] ?? null;
    }
}
