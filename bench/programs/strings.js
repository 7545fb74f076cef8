// String building by concatenation.
function main() {
    var total = 0;
    for (var round = 0; round < 200; round++) {
        var s = "";
        for (var i = 0; i < 500; i++) {
            s = s + "ab" + i;
        }
        total = (total + s.length) % 1000003;
    }
    console.log(total);
}
