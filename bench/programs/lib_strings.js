// String methods: text built with String.fromCharCode, then read back with
// charAt, charCodeAt, indexOf, substring and toUpperCase.
function main() {
    var total = 0;
    for (var round = 0; round < 60; round++) {
        var s = "";
        for (var i = 0; i < 600; i++) {
            s = s + String.fromCharCode(97 + (i * 7 + round) % 26);
        }
        var up = s.toUpperCase();
        for (var j = 0; j < 600; j++) {
            total = (total + s.charCodeAt(j) + up.charCodeAt(j)) % 1000003;
            if (s.charAt(j) == "q") {
                total = (total + j) % 1000003;
            }
        }
        var pos = 0;
        var found = 0;
        while (pos >= 0) {
            pos = s.indexOf("ah", pos);
            if (pos >= 0) {
                found = found + 1;
                pos = pos + 1;
            }
        }
        for (var k = 0; k + 10 <= 600; k = k + 10) {
            var piece = s.substring(k, k + 10);
            total = (total + piece.indexOf("e") + 1 + piece.toUpperCase().charCodeAt(3)) % 1000003;
        }
        total = (total + found * 31) % 1000003;
    }
    console.log(total);
}
