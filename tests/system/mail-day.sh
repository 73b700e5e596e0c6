# Sourced by developer.sh (first day): mail the sites send, caught by Vesk's
# mail catcher and never delivered. PHP's mail() with an HTML body and an
# attachment, a PHP SMTP client with credentials, both read back with vesk
# mail; with the catcher stopped, mail() still succeeds and the mail arrives
# once it runs again. Then the figures against a discarding SMTP server.
spool="/home/$dev/Library/Application Support/Vesk/mail/spool"

step "the mail catcher runs with the servers, as the developer, on 127.0.0.1:2525 alone"
wait_for 10 sh -c 'ss -Hltn "sport = :2525" | grep -q 127.0.0.1:2525' || fail "nothing listens on 127.0.0.1:2525"
ss -Hltn 'sport = :2525' | awk '{ print $4 }' | grep -qv '^127\.0\.0\.1:' && fail "the catcher listens beyond the loopback"
[ "$(ps -o user= -C vesk-mail-catcher | sort -u)" = "$dev" ] || fail "the catcher does not run as $dev"
vesk_dev status | grep '^mail' | sed 's/^/    /'
vesk_dev status | grep -q '^mail .*Running' || fail "vesk status does not show the catcher running"
[ "$(vesk_dev env mail | paste -sd' ')" = "MAIL_MAILER=smtp MAIL_HOST=127.0.0.1 MAIL_PORT=2525" ] ||
  fail "vesk env mail: $(vesk_dev env mail | paste -sd' ')"
grep -q 'php_admin_value\[sendmail_path\] = /usr/libexec/vesk/vesk-sendmail -t -i' /usr/local/vesk/etc/php-fpm-8.2.conf ||
  fail "the pool's mail() does not run the package's sendmail"

step "PHP's mail() with an HTML body and an attachment, and a PHP SMTP client, both caught"
mkdir -p "/home/$dev/code/mailer"
cat >"/home/$dev/code/mailer/index.php" <<'PHP'
<?php
$n = $_GET["n"] ?? "1";
$csv = "id,total\n1,42\n";
$headers = "From: Shop <shop@app.test>\r\nCc: boss@example.com\r\nBcc: audit@app.test\r\n"
    . "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"mixed\"";
$body = "--mixed\r\nContent-Type: multipart/alternative; boundary=\"alt\"\r\n\r\n"
    . "--alt\r\nContent-Type: text/plain; charset=UTF-8\r\n\r\nYour order $n is ready.\r\n"
    . "--alt\r\nContent-Type: text/html; charset=UTF-8\r\n\r\n<p>Your <b>order</b> $n is ready.</p>\r\n"
    . "--alt--\r\n--mixed\r\nContent-Type: text/csv; name=\"order.csv\"\r\n"
    . "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"order.csv\"\r\n\r\n"
    . chunk_split(base64_encode($csv)) . "--mixed--\r\n";
$subject = "=?UTF-8?B?" . base64_encode("Bestellung $n für Ada") . "?=";
echo mail("ada@example.com", $subject, $body, $headers) ? "sent" : "failed";
PHP
cat >"/home/$dev/code/mailer/smtp.php" <<'PHP'
<?php
// What a framework's mailer says, credentials included.
$s = fsockopen("127.0.0.1", 2525, $errno, $error, 5);
$reply = function () use ($s) {
    $all = "";
    while (($line = fgets($s)) !== false) { $all .= $line; if (strlen($line) < 4 || $line[3] === " ") break; }
    return $all;
};
$steps = [["", "220"], ["EHLO laravel.test", "250"], ["AUTH PLAIN " . base64_encode("\0user\0secret"), "235"],
    ["MAIL FROM:<app@laravel.test>", "250"], ["RCPT TO:<x@example.com>", "250"],
    ["RCPT TO:<hidden@example.com>", "250"], ["DATA", "354"],
    ["From: app@laravel.test\r\nTo: x@example.com\r\nSubject: Via SMTP\r\n\r\n..starts with a dot\r\nend\r\n.", "250"],
    ["QUIT", "221"]];
foreach ($steps as [$say, $want]) {
    if ($say !== "") fwrite($s, "$say\r\n");
    $got = $reply();
    if (substr($got, 0, 3) !== $want) { echo "smtp: $say -> $got"; exit; }
}
echo "smtp ok";
PHP
chown -R "$dev:$dev" "/home/$dev/code/mailer"
got=$(page http://mailer.test/)
[ "$got" = sent ] || fail "mail() from a page: $got"
got=$(page http://mailer.test/smtp.php)
[ "$got" = "smtp ok" ] || fail "a PHP SMTP client: $got"
wait_for 10 sh -c "[ \"\$(runuser -u $dev -- vesk mail list --json | python3 -c 'import json,sys; print(len(json.load(sys.stdin)))')\" = 2 ]" ||
  fail "two mails are not caught"
expect "vesk mail list" vesk_dev mail list
vesk_dev mail list --json | python3 -c '
import json, sys
mails = {m["subject"]: m for m in json.load(sys.stdin)}
order, smtp = mails.get("Bestellung 1 für Ada"), mails.get("Via SMTP")
problems = []
if not order:
    problems.append("no mail() mail: %s" % list(mails))
else:
    want = {"from": "shop@app.test", "to": ["ada@example.com"], "cc": ["boss@example.com"],
            "bcc": ["audit@app.test"], "textBody": "Your order 1 is ready.", "isRead": False}
    problems += ["%s is %r" % (k, order.get(k)) for k, v in want.items() if order.get(k) != v]
    if "<b>order</b>" not in order.get("htmlBody", ""):
        problems.append("htmlBody is %r" % order.get("htmlBody"))
    files = [(a["filename"], a["contentType"], a["size"]) for a in order["attachments"]]
    if files != [("order.csv", "text/csv", 14)]:
        problems.append("attachments are %r" % files)
if not smtp:
    problems.append("no SMTP mail")
else:
    if smtp["bcc"] != ["hidden@example.com"] or smtp["from"] != "app@laravel.test":
        problems.append("the SMTP mail: from %r bcc %r" % (smtp["from"], smtp["bcc"]))
    if not smtp.get("textBody", "").startswith(".starts with a dot"):
        problems.append("dot-stuffing: %r" % smtp.get("textBody"))
print("\n".join("    FAILED: " + p for p in problems) or "    both mails have the fields they were sent with")
sys.exit(1 if problems else 0)' || failed=1
id=$(vesk_dev mail list --json | python3 -c 'import json,sys; print([m["id"][:8] for m in json.load(sys.stdin) if m["subject"].startswith("Bestellung")][0])')
out=$(vesk_dev mail show "$id")
printf '%s\n' "$out" | sed 's/^/    | /'
echo "$out" | grep -q '^Your order 1 is ready.$' || fail "vesk mail show does not print the text part"
echo "$out" | grep -q '^Attached: order.csv (text/csv, 14 B)$' || fail "vesk mail show does not list the attachment"
vesk_dev mail show "$id" --raw | grep -q '^Bcc:' && fail "the raw message keeps the Bcc its recipients never see"

step "with the catcher stopped, mail() still succeeds and the mail arrives once it runs"
expect "vesk stop mail" vesk_dev stop mail
wait_for 10 sh -c '! ss -Hltn "sport = :2525" | grep -q .' || fail "the catcher still listens"
got=$(page "http://mailer.test/?n=2")
[ "$got" = sent ] || fail "mail() with the catcher stopped: $got"
[ "$(ls "$spool" | grep -c '\.mail$')" = 1 ] || fail "the mail does not wait in the spool: $(ls "$spool")"
vesk_dev doctor 2>&1 | grep -A1 'mail' | sed 's/^/    | /'
vesk_dev doctor 2>&1 | grep -q '1 mail waits in' || fail "vesk doctor does not say a mail waits in the spool"
expect "vesk start mail" vesk_dev start mail
wait_for 10 sh -c "runuser -u $dev -- vesk mail list | grep -q 'Bestellung 2 für Ada'" || fail "the spooled mail did not arrive"
[ "$(ls "$spool" | grep -c '\.mail$')" = 0 ] || fail "the spool is not empty once delivered"

if [ "${VESK_FIGURES:-on}" != off ]; then
step "figures: mail caught from 8 SMTP clients against Debian's aiosmtpd discarding it, and the catcher's peak memory"
as_dev /usr/bin/python3 "$tests/../bench/mail-figures.py" /usr/libexec/vesk/vesk-mail-catcher || fail "the mail figures"
fi
