// Patterns as server scripts use them: validating form fields, splitting
// CSV lines and replacing with a template over about 1 MB of text.
function main() {
    var fields = ["alice@example.com", "bob.smith+tag@mail.example.org", "not an address", "x@y", "2024-05-17",
                  "carol_99@host-name.net", "12345", "@missing.local"];
    var email = /^[\w.+-]+@[\w-]+\.[\w.]+$/;
    var date = /^(\d{4})-(\d\d)-(\d\d)$/;
    var valid = 0;
    for (var round = 0; round < 2000; round++) {
        for (var i = 0; i < fields.length; i++) {
            if (email.test(fields[i])) valid++;
            if (date.test(fields[i])) valid += 2;
        }
    }
    var line = "1001, Tanaka Taro ,tokyo, 2024-05-17,  42.50,ok\n";
    var text = line;
    for (var k = 0; k < 14; k++) text += text;  // 16384 lines, about 0.8 MB
    var lines = text.split(/\n/);
    var cells = 0;
    for (var j = 0; j < lines.length; j++) cells += lines[j].split(/\s*,\s*/).length;
    var swapped = text.replaceAll(/(\d{4})-(\d\d)-(\d\d)/g, "$3/$2/$1");
    var amounts = text.match(/\d+\.\d\d/g).length;
    console.log(valid + cells + swapped.length + amounts);
}
